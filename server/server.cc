#include "server/server.h"

#include "server/limits.h"
#include "server/tls/tls_context.h"

namespace pendrakel::server {

Server::Server(const HostOptions& options, PFN_HTTPEXTENSIONPROC proc,
               AccessLog* log)
    : state_(options, proc), log_(log) {}

Server::~Server() { StopThreads(); }

bool Server::MakeThreads(std::string& error) {
  for (int i = 0; i < state_.options.io_threads; ++i) {
    std::string fallback;
    std::unique_ptr<EventLoop> loop =
        EventLoop::Open(state_.options.io, &fallback);
    if (!loop) {
      error = "cannot start an I/O thread: " + fallback;
      return false;
    }
    LogBuffer* buffer =
        log_ == nullptr ? nullptr : &log_->buffer(static_cast<size_t>(i));
    io_threads_.push_back(
        std::make_unique<IoThread>(state_, buffer, std::move(loop)));
  }
  return true;
}

bool Server::Listen(std::string& error) {
  if (!MakeThreads(error)) return false;
  listener_ = std::make_unique<Listener>(io_threads_, false);
  if (state_.options.plain_listen &&
      !listener_->Open(state_.options.listen, error))
    return false;
  if (state_.options.tls_listen && !ListenTls(error)) return false;
  if (!state_.options.admin_listen) return true;
  std::vector<const TrafficCounters*> traffic;
  for (auto& io : io_threads_) traffic.push_back(&io->traffic());
  admin_ = std::make_unique<AdminListener>(
      state_, std::move(traffic), io_threads_.front()->backend(), log_,
      tls_listener_ ? &tls_figures_ : nullptr);
  return admin_->Open(*state_.options.admin_listen, error);
}

bool Server::ListenTls(std::string& error) {
  const TlsContext context = LoadTlsContext(
      state_.options.tls_cert, state_.options.tls_key, ticket_keys_, error);
  if (!context) return false;
  UseTlsContext(context);
  for (auto& io : io_threads_)
    tls_figures_.threads.push_back(&io->tls().counters);
  tls_listener_ = std::make_unique<Listener>(io_threads_, true);
  return tls_listener_->Open(*state_.options.tls_listen, error);
}

void Server::UseTlsContext(const TlsContext& context) {
  for (auto& io : io_threads_) io->UseTlsContext(context);
  tls_figures_.expires_at.store(context.expires_at(),
                                std::memory_order_relaxed);
}

bool Server::ReloadTls(std::string& line) {
  std::string error;
  const TlsContext context = LoadTlsContext(
      state_.options.tls_cert, state_.options.tls_key, ticket_keys_, error);
  if (!context) {
    line = error + "; keeping the certificate in use";
    return false;
  }
  UseTlsContext(context);
  line =
      "tls certificate reloaded, expires " + FormatExpiry(context.expires_at());
  return true;
}

std::optional<boost::asio::ip::tcp::endpoint> Server::tls_endpoint() const {
  if (tls_listener_ == nullptr) return {};
  return tls_listener_->local_endpoint();
}

std::optional<boost::asio::ip::tcp::endpoint> Server::admin_endpoint() const {
  if (admin_ == nullptr) return {};
  return admin_->local_endpoint();
}

boost::asio::ip::tcp::endpoint Server::endpoint() const {
  return listener_->local_endpoint();
}

void Server::Start() {
  for (auto& io : io_threads_) {
    IoThread* thread = io.get();
    threads_.emplace_back([thread] { thread->Run(); });
  }
  listener_->Start();
  if (tls_listener_ != nullptr) tls_listener_->Start();
  if (admin_ != nullptr) admin_->Start();
}

bool Server::Shutdown() {
  state_.stopping.store(true);
  listener_->Close();
  for (auto& io : io_threads_) io->PostShutdown(false);
  if (!WaitForConnections(state_.options.shutdown_grace)) {
    state_.aborting.store(true);
    for (auto& io : io_threads_) io->PostShutdown(true);
    if (!WaitForConnections(kShutdownHardBound)) return false;
  }
  StopThreads();
  return true;
}

bool Server::WaitForConnections(std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (state_.connections.open() > 0) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(kShutdownPollPeriod);
  }
  return true;
}

void Server::StopThreads() {
  if (admin_ != nullptr) admin_->Stop();
  for (auto& io : io_threads_) io->Stop();
  for (auto& thread : threads_) thread.join();
  threads_.clear();
}

}  // namespace pendrakel::server
