#include "server/server.h"

#include "server/limits.h"

namespace pendrakel::server {
namespace {

constexpr std::chrono::milliseconds kShutdownPollPeriod{10};

}  // namespace

Server::Server(const HostOptions& options, PFN_HTTPEXTENSIONPROC proc,
               AccessLog* log)
    : state_(options, proc) {
  for (int i = 0; i < options.io_threads; ++i) {
    io_threads_.push_back(std::make_unique<IoThread>(
        state_, log == nullptr ? nullptr : &log->buffer(i)));
  }
  listener_ = std::make_unique<Listener>(io_threads_);
  if (options.admin_listen) {
    std::vector<const TrafficCounters*> traffic;
    for (auto& io : io_threads_) traffic.push_back(&io->traffic());
    admin_ = std::make_unique<AdminListener>(state_, std::move(traffic));
  }
}

Server::~Server() { StopThreads(); }

bool Server::Listen(std::string& error) {
  if (!listener_->Open(state_.options.listen, error)) return false;
  return admin_ == nullptr || admin_->Open(*state_.options.admin_listen, error);
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
  while (state_.live_connections.load() > 0) {
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
