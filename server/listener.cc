#include "server/listener.h"

#include <boost/asio/post.hpp>

#include "server/connection.h"
#include "server/http_error.h"
#include "server/limits.h"
#include "server/options.h"
#include "server/socket_io.h"

namespace pendrakel::server {

Listener::Listener(std::vector<std::unique_ptr<IoThread>>& threads)
    : threads_(threads),
      acceptor_(threads.front()->context()),
      retry_timer_(threads.front()->context()) {}

bool Listener::Open(const boost::asio::ip::tcp::endpoint& endpoint,
                    std::string& error) {
  boost::system::error_code ec;
  acceptor_.open(endpoint.protocol(), ec);
  if (!ec)
    acceptor_.set_option(boost::asio::socket_base::reuse_address(true), ec);
  if (!ec) acceptor_.bind(endpoint, ec);
  if (!ec)
    acceptor_.listen(boost::asio::socket_base::max_listen_connections, ec);
  if (ec) {
    error =
        "cannot listen on " + FormatEndpoint(endpoint) + ": " + ec.message();
    return false;
  }
  return true;
}

boost::asio::ip::tcp::endpoint Listener::local_endpoint() const {
  boost::system::error_code ignored;
  return acceptor_.local_endpoint(ignored);
}

void Listener::Start() {
  boost::asio::post(acceptor_.get_executor(), [this] { Accept(); });
}

void Listener::Close() {
  boost::asio::post(acceptor_.get_executor(), [this] {
    boost::system::error_code ignored;
    acceptor_.close(ignored);
    retry_timer_.cancel();
  });
}

void Listener::Accept() {
  if (!acceptor_.is_open()) return;
  IoThread& target = *threads_[next_thread_];
  next_thread_ = (next_thread_ + 1) % threads_.size();
  acceptor_.async_accept(target.context(),
                         [this, &target](const boost::system::error_code& error,
                                         boost::asio::ip::tcp::socket socket) {
                           OnAccept(error, std::move(socket), target);
                         });
}

void Listener::OnAccept(const boost::system::error_code& error,
                        boost::asio::ip::tcp::socket socket, IoThread& target) {
  if (error == boost::asio::error::operation_aborted || !acceptor_.is_open())
    return;
  if (error) {
    // Out of descriptors or a connection reset before it was taken: try
    // again a little later.
    retry_timer_.expires_after(kAcceptRetryDelay);
    retry_timer_.async_wait([this](const boost::system::error_code& e) {
      if (!e) Accept();
    });
    return;
  }
  ServerState& state = target.state();
  const int live =
      state.live_connections.fetch_add(1, std::memory_order_relaxed);
  if (live >= state.options.max_connections) {
    state.live_connections.fetch_sub(1, std::memory_order_relaxed);
    state.connections_refused.fetch_add(1, std::memory_order_relaxed);
    SendOnce(socket.native_handle(), ErrorResponse(HttpError::kUnavailable));
    boost::system::error_code ignored;
    socket.close(ignored);
  } else {
    state.connections_accepted.fetch_add(1, std::memory_order_relaxed);
    auto connection = std::make_shared<Connection>(target, std::move(socket));
    boost::asio::post(target.context(), [connection = std::move(connection)] {
      connection->Start();
    });
  }
  Accept();
}

}  // namespace pendrakel::server
