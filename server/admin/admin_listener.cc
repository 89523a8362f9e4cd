#include "server/admin/admin_listener.h"

#include <boost/asio/post.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <memory>
#include <optional>

#include "server/admin/metrics_page.h"
#include "server/admin/stat_probe.h"
#include "server/http/http_error.h"
#include "server/io/listener.h"
#include "server/io/socket_io.h"
#include "server/limits.h"
#include "server/ops/access_log.h"
#include "server/options.h"

namespace pendrakel::server {
namespace {

namespace beast = boost::beast;
namespace http = beast::http;

// One admin connection: requests answered in turn, kept alive while the
// client asks for it.
class AdminSession : public std::enable_shared_from_this<AdminSession> {
 public:
  AdminSession(AdminListener& listener, boost::asio::ip::tcp::socket socket)
      : listener_(listener), stream_(std::move(socket)) {
    listener_.SessionOpened();
  }
  ~AdminSession() { listener_.SessionClosed(); }

  void Read() {
    parser_.emplace();
    parser_->header_limit(kAdminHeadLimitBytes);
    stream_.expires_after(kAdminTimeout);
    http::async_read(
        stream_, buffer_, *parser_,
        [self = shared_from_this()](beast::error_code error, size_t) {
          if (!error) self->Write();
        });
  }

 private:
  void Write() {
    const auto& request = parser_->get();
    const AdminListener::Answer answer = listener_.Respond(
        std::string_view(request.method_string().data(),
                         request.method_string().size()),
        std::string_view(request.target().data(), request.target().size()));
    response_.emplace(static_cast<http::status>(answer.status),
                      request.version());
    response_->set(http::field::content_type, answer.content_type);
    response_->keep_alive(request.keep_alive());
    response_->body() = request.method() == http::verb::head ? "" : answer.body;
    response_->prepare_payload();
    if (request.method() == http::verb::head)
      response_->content_length(answer.body.size());
    http::async_write(
        stream_, *response_,
        [self = shared_from_this()](beast::error_code error, size_t) {
          if (error || !self->response_->keep_alive()) {
            beast::error_code ignored;
            self->stream_.socket().shutdown(
                boost::asio::ip::tcp::socket::shutdown_send, ignored);
            return;
          }
          self->Read();
        });
  }

  AdminListener& listener_;
  beast::tcp_stream stream_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::empty_body>> parser_;
  std::optional<http::response<http::string_body>> response_;
};

}  // namespace

AdminListener::AdminListener(const ServerState& state,
                             std::vector<const TrafficCounters*> threads,
                             IoBackend backend, const AccessLog* log,
                             const TlsFigures* tls)
    : state_(state),
      threads_(std::move(threads)),
      backend_(backend),
      log_(log),
      tls_(tls),
      acceptor_(context_),
      retry_timer_(context_) {}

AdminListener::~AdminListener() { Stop(); }

bool AdminListener::Open(const boost::asio::ip::tcp::endpoint& endpoint,
                         std::string& error) {
  std::string why;
  const int fd = OpenListeningSocket(endpoint, BindMode::kAlone, why);
  boost::system::error_code ec;
  if (fd >= 0) acceptor_.assign(endpoint.protocol(), fd, ec);
  if (fd < 0 || ec) {
    error = "cannot listen on " + FormatEndpoint(endpoint) +
            " (--admin-listen): " + (fd < 0 ? why : ec.message());
    return false;
  }
  return true;
}

boost::asio::ip::tcp::endpoint AdminListener::local_endpoint() const {
  boost::system::error_code ignored;
  return acceptor_.local_endpoint(ignored);
}

void AdminListener::Start() {
  boost::asio::post(context_, [this] { Accept(); });
  thread_ = std::thread([this] { context_.run(); });
}

void AdminListener::Stop() {
  if (!thread_.joinable()) return;
  context_.stop();
  thread_.join();
}

void AdminListener::Accept() {
  acceptor_.async_accept([this](boost::system::error_code error,
                                boost::asio::ip::tcp::socket socket) {
    if (error == boost::asio::error::operation_aborted) return;
    if (error) {
      // Out of descriptors or memory: try again a little later instead of
      // spinning.
      retry_timer_.expires_after(kAcceptRetryDelay);
      retry_timer_.async_wait([this](boost::system::error_code waited) {
        if (waited != boost::asio::error::operation_aborted) Accept();
      });
      return;
    }
    if (sessions_ >= kMaxAdminConnections) {
      SendOnce(socket.native_handle(), ErrorResponse(HttpError::kUnavailable));
    } else {
      std::make_shared<AdminSession>(*this, std::move(socket))->Read();
    }
    Accept();
  });
}

AdminListener::Answer AdminListener::Respond(std::string_view method,
                                             std::string_view target) {
  const std::string_view path = target.substr(0, target.find('?'));
  if (path != "/metrics" && path != "/healthz")
    return {404, "text/plain", "not found\n"};
  if (method != "GET" && method != "HEAD")
    return {405, "text/plain", "method not allowed\n"};
  if (path == "/healthz") {
    if (state_.stopping.load(std::memory_order_relaxed))
      return {503, "text/plain", "stopping\n"};
    return {200, "text/plain", "ok\n"};
  }
  ++stat_probes_;
  const StatReport store = ProbeStat(state_.proc);
  std::string page =
      RenderMetrics(state_, threads_, backend_, store, stat_probes_,
                    log_ == nullptr ? 0 : log_->dropped_lines());
  if (tls_ != nullptr) AppendTlsMetrics(*tls_, page);
  return {200, std::string(kMetricsContentType), std::move(page)};
}

}  // namespace pendrakel::server
