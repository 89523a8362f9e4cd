#include "server/io/io_thread.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <new>

#include "server/http/http_error.h"
#include "server/io/connection.h"
#include "server/io/socket_io.h"
#include "server/limits.h"

namespace pendrakel::server {
namespace {

// epoll reads the eventfd only once it said it is readable, but must never
// block on it; io_uring waits on a blocking one.
int MakeWakeFd(IoBackend backend) {
  return eventfd(
      0, EFD_CLOEXEC | (backend == IoBackend::kEpoll ? EFD_NONBLOCK : 0));
}

}  // namespace

IoThread::IoThread(ServerState& state, LogBuffer* log,
                   std::unique_ptr<EventLoop> loop)
    : state_(state),
      log_(log),
      stacks_(kFiberStackBytes, kFiberStacksKept, state.fiber_stacks),
      loop_(std::move(loop)),
      acceptor_(*this, false),
      tls_acceptor_(*this, true),
      wake_fd_(MakeWakeFd(loop_->backend())) {
  kept_.reserve(kConnectionsKept);
}

IoThread::~IoThread() {
  // The loop goes first: once it is closed the kernel touches no memory of
  // the connections any more.
  loop_.reset();
  DestroyRetired();
  while (first_ != nullptr) {
    Connection* connection = first_;
    Unlink(connection);
    delete connection;
  }
  for (Connection* connection : kept_) delete connection;
  if (wake_fd_ >= 0) ::close(wake_fd_);
}

void IoThread::Run() {
  loop_->Attach();
  loop_->Watch(wake_fd_);
  WaitForNotices();
  now_ = Clock::now();
  next_tick_ = now_ + kSweepPeriod;
  while (!stopped_) {
    const auto wait = std::max(Clock::duration::zero(), next_tick_ - now_);
    loop_->Turn(std::chrono::ceil<std::chrono::milliseconds>(wait), now_);
    if (now_ >= next_tick_) {
      Tick();
      next_tick_ = now_ + kSweepPeriod;
    }
    DestroyRetired();
  }
}

void IoThread::Tick() {
  // A connection closed here is destroyed after the turn, so the list does
  // not change during the walk.
  for (Connection* c = first_; c != nullptr; c = c->next_) {
    if (now_ >= c->wake_at()) c->OnTick(now_);
  }
  acceptor_.OnTick(now_);
  tls_acceptor_.OnTick(now_);
  if (log_ != nullptr) log_->HandOver();
}

// ---- notices from other threads ----

template <typename Change>
void IoThread::Notify(Change change) {
  {
    MutexLock lock(notices_mutex_);
    change(notices_);
  }
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t ignored = ::write(wake_fd_, &one, sizeof one);
}

void IoThread::StartAccepting(int listen_fd) {
  Notify([listen_fd](Notices& n) { n.listen_fd = listen_fd; });
}

void IoThread::StartAcceptingTls(int listen_fd) {
  Notify([listen_fd](Notices& n) { n.tls_listen_fd = listen_fd; });
}

void IoThread::UseTlsContext(TlsContext context) {
  Notify([&context](Notices& n) { n.tls_context = std::move(context); });
}

void IoThread::StopAccepting() {
  Notify([](Notices& n) { n.stop_accepting = true; });
}

void IoThread::PostShutdown(bool force) {
  Notify([force](Notices& n) {
    n.shutdown = true;
    n.force = n.force || force;
  });
}

void IoThread::Stop() {
  Notify([](Notices& n) { n.stop = true; });
}

void IoThread::WaitForNotices() {
  loop_->Read(wake_op_, wake_fd_, &wake_count_, sizeof wake_count_);
}

void IoThread::OnComplete(IoOp&, const IoResult&) {
  Notices notices;
  {
    MutexLock lock(notices_mutex_);
    notices = std::move(notices_);
    notices_ = Notices{};
  }
  if (notices.tls_context) tls_.context = std::move(notices.tls_context);
  if (notices.listen_fd >= 0) acceptor_.Start(notices.listen_fd);
  if (notices.tls_listen_fd >= 0) tls_acceptor_.Start(notices.tls_listen_fd);
  if (notices.stop_accepting) {
    acceptor_.Stop();
    tls_acceptor_.Stop();
  }
  if (notices.shutdown) {
    for (Connection* c = first_; c != nullptr; c = c->next_)
      c->OnShutdown(notices.force);
  }
  if (notices.stop) {
    stopped_ = true;
    return;
  }
  WaitForNotices();
}

// ---- the connections ----

void IoThread::Adopt(int fd, ConnectionSlot slot, bool tls) {
  Connection* connection = nullptr;
  try {
    if (kept_.empty()) {
      connection = new Connection(*this, fd, std::move(slot), tls);
    } else {
      connection = kept_.back();
      kept_.pop_back();
      connection->Reuse(fd, std::move(slot), tls);
    }
  } catch (const std::bad_alloc&) {
    // The slot goes back with the argument (or with a kept connection that
    // could not be made new, which leaves `fd` to us); the client hears why
    // (on the TLS port it expects no plaintext: only closed).
    delete connection;
    if (!tls) SendOnce(fd, ErrorResponse(HttpError::kNoMemory));
    ::close(fd);
    return;
  }
  loop_->Watch(fd);
  connection->next_ = first_;
  if (first_ != nullptr) first_->prev_ = connection;
  first_ = connection;
  connection->Start();
}

void IoThread::Retire(Connection* connection) {
  retired_.push_back(connection);
}

void IoThread::DestroyRetired() {
  for (Connection* connection : retired_) {
    Unlink(connection);
    if (kept_.size() < kConnectionsKept) {
      kept_.push_back(connection);  // never reallocates: reserved
    } else {
      delete connection;
    }
  }
  retired_.clear();
}

void IoThread::Unlink(Connection* connection) {
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
