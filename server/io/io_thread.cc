#include "server/io/io_thread.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>

#include "server/io/connection.h"
#include "server/limits.h"

namespace pendrakel::server {

IoThread::IoThread(ServerState& state, LogBuffer* log)
    : state_(state),
      log_(log),
      stacks_(kFiberStackBytes, kFiberStacksKept),
      sweep_timer_(context_) {}

void IoThread::Run() {
  auto work = boost::asio::make_work_guard(context_);
  ScheduleSweep();
  context_.run();
}

void IoThread::ScheduleSweep() {
  sweep_timer_.expires_after(kSweepPeriod);
  sweep_timer_.async_wait([this](const boost::system::error_code& error) {
    if (!error) Sweep();
  });
}

void IoThread::Sweep() {
  const auto now = std::chrono::steady_clock::now();
  // A connection closed here is destroyed later, by its aborted handler,
  // so the list does not change during the walk.
  for (Connection* c = first_; c != nullptr; c = c->next_) c->OnSweep(now);
  if (log_ != nullptr) log_->HandOver();
  ScheduleSweep();
}

void IoThread::PostShutdown(bool force) {
  boost::asio::post(context_, [this, force] {
    for (Connection* c = first_; c != nullptr; c = c->next_)
      c->OnShutdown(force);
  });
}

void IoThread::Register(Connection* connection) {
  connection->prev_ = nullptr;
  connection->next_ = first_;
  if (first_ != nullptr) first_->prev_ = connection;
  first_ = connection;
}

void IoThread::Unregister(Connection* connection) {
  if (connection->prev_ != nullptr) {
    connection->prev_->next_ = connection->next_;
  } else if (first_ == connection) {
    first_ = connection->next_;
  }
  if (connection->next_ != nullptr)
    connection->next_->prev_ = connection->prev_;
  connection->prev_ = connection->next_ = nullptr;
}

}  // namespace pendrakel::server
