#include "server/io/epoll_loop.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "server/io/accept_batch.h"
#include "server/limits.h"

namespace pendrakel::server {
namespace {

// Where an operation is: nowhere (idle, or being tried), queued to be
// tried, or waiting at its descriptor for an edge.
enum Place : uint8_t { kNowhere = 0, kQueued = 1, kWaiting = 2 };

constexpr int kSendFlags = MSG_NOSIGNAL | MSG_DONTWAIT;

uint64_t EventData(int fd, uint32_t generation) {
  return static_cast<uint32_t>(fd) | (static_cast<uint64_t>(generation) << 32);
}

}  // namespace

std::unique_ptr<EpollLoop> EpollLoop::Open(std::string& error) {
  const int fd = epoll_create1(EPOLL_CLOEXEC);
  if (fd < 0) {
    error = std::string("epoll refused: ") + std::strerror(errno);
    return nullptr;
  }
  return std::unique_ptr<EpollLoop>(new EpollLoop(fd));
}

EpollLoop::EpollLoop(int epoll_fd)
    : epoll_fd_(epoll_fd), lent_buffer_(new char[kLentBufferBytes]) {}

EpollLoop::~EpollLoop() { ::close(epoll_fd_); }

EpollLoop::Descriptor& EpollLoop::At(int fd) {
  const size_t index = static_cast<size_t>(fd);
  if (index >= descriptors_.size()) descriptors_.resize(index + 1);
  return descriptors_[index];
}

void EpollLoop::Watch(int fd) {
  Descriptor& descriptor = At(fd);
  const uint32_t generation = descriptor.generation + 1;
  descriptor = Descriptor{};
  descriptor.generation = generation;
  epoll_event event{};
  event.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
  event.data.u64 = EventData(fd, generation);
  epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &event);
}

bool EpollLoop::WantsInput(const IoOp& op) const {
  return op.kind != IoOp::Kind::kSend;
}

// Tried in this turn when the descriptor may be ready, else at its edge.
void EpollLoop::Start(IoOp& op) {
  switch (op.kind) {
    case IoOp::Kind::kReceiveLent:
      op.pieces[0] = {lent_buffer_.get(), kLentBufferBytes};
      break;
    case IoOp::Kind::kShutdown:
      return Queue(op);
    case IoOp::Kind::kClose:
      ++At(op.fd).generation;  // its remaining events are stale
      return Queue(op);
    default:
      break;
  }
  const Descriptor& descriptor = At(op.fd);
  if (WantsInput(op) ? descriptor.readable : descriptor.writable) {
    Queue(op);
  } else {
    Park(op);
  }
}

void EpollLoop::Queue(IoOp& op) {
  op.place = kQueued;
  op.next = nullptr;
  if (ready_tail_ == nullptr) {
    ready_head_ = &op;
  } else {
    ready_tail_->next = &op;
  }
  ready_tail_ = &op;
}

void EpollLoop::Park(IoOp& op) {
  op.place = kWaiting;
  Descriptor& descriptor = At(op.fd);
  (WantsInput(op) ? descriptor.reader : descriptor.writer) = &op;
}

void EpollLoop::Unpark(IoOp& op) {
  Descriptor& descriptor = At(op.fd);
  IoOp*& slot = WantsInput(op) ? descriptor.reader : descriptor.writer;
  if (slot == &op) slot = nullptr;
  op.place = kNowhere;
}

void EpollLoop::Cancel(IoOp& op) {
  if (!op.busy() || op.cancelled) return;
  op.cancelled = true;
  if (op.place == kWaiting) {
    Unpark(op);
    Queue(op);
  }
}

void EpollLoop::OnEvent(uint64_t data, uint32_t events) {
  const int fd = static_cast<int>(data & 0xffffffffu);
  if (static_cast<size_t>(fd) >= descriptors_.size()) return;
  Descriptor& descriptor = descriptors_[static_cast<size_t>(fd)];
  if (descriptor.generation != static_cast<uint32_t>(data >> 32)) return;
  if ((events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0) {
    descriptor.readable = true;
    if (IoOp* op = descriptor.reader) {
      Unpark(*op);
      Queue(*op);
    }
  }
  if ((events & (EPOLLOUT | EPOLLHUP | EPOLLERR)) != 0) {
    descriptor.writable = true;
    if (IoOp* op = descriptor.writer) {
      Unpark(*op);
      Queue(*op);
    }
  }
}

void EpollLoop::Turn(std::chrono::milliseconds limit,
                     std::chrono::steady_clock::time_point& now) {
  epoll_event events[kEpollEventsPerTurn];
  const int timeout =
      ready_head_ != nullptr ? 0 : static_cast<int>(limit.count());
  const int count = epoll_wait(epoll_fd_, events, kEpollEventsPerTurn, timeout);
  now = std::chrono::steady_clock::now();
  for (int i = 0; i < count; ++i) OnEvent(events[i].data.u64, events[i].events);
  // What completes may queue more (a send after a receive): it is tried in
  // this turn too, up to a bound, so one busy client cannot hold the turn.
  for (size_t tries = 0; ready_head_ != nullptr && tries < kEpollTriesPerTurn;
       ++tries) {
    IoOp& op = *ready_head_;
    ready_head_ = op.next;
    if (ready_head_ == nullptr) ready_tail_ = nullptr;
    op.place = kNowhere;
    Try(op);
  }
}

void EpollLoop::Try(IoOp& op) {
  if (op.cancelled) return Complete(op, -ECANCELED, nullptr, false);
  switch (op.kind) {
    case IoOp::Kind::kIdle:
      return;
    case IoOp::Kind::kAccept:
      return TryAccept(op);
    case IoOp::Kind::kShutdown:
      return Complete(op, ::shutdown(op.fd, SHUT_WR) == 0 ? 0 : -errno, nullptr,
                      false);
    case IoOp::Kind::kClose:
      return Complete(op, ::close(op.fd) == 0 ? 0 : -errno, nullptr, false);
    default:
      break;
  }
  const int result = Attempt(op, At(op.fd));
  if (result == -EAGAIN) return Park(op);
  const bool lent = op.kind == IoOp::Kind::kReceiveLent && result > 0;
  Complete(op, result, lent ? lent_buffer_.get() : nullptr, false);
}

// The system call of a receive, read or send; -EAGAIN when the descriptor
// is not ready after all. Marks it drained or full.
int EpollLoop::Attempt(IoOp& op, Descriptor& descriptor) {
  size_t wanted = 0;
  ssize_t done = 0;
  do {
    if (op.kind == IoOp::Kind::kSend) {
      wanted = 0;
      for (size_t i = 0; i < op.message.msg_iovlen; ++i)
        wanted += op.pieces[i].iov_len;
      done = sendmsg(op.fd, &op.message, kSendFlags);
    } else if (op.kind == IoOp::Kind::kRead) {
      wanted = op.pieces[0].iov_len;
      done = ::read(op.fd, op.pieces[0].iov_base, wanted);
    } else {
      wanted = op.pieces[0].iov_len;
      done = recv(op.fd, op.pieces[0].iov_base, wanted, MSG_DONTWAIT);
    }
  } while (done < 0 && errno == EINTR);
  bool& ready =
      op.kind == IoOp::Kind::kSend ? descriptor.writable : descriptor.readable;
  if (done < 0) {
    ready = false;
    return errno == EWOULDBLOCK ? -EAGAIN : -errno;
  }
  if (static_cast<size_t>(done) < wanted) ready = false;
  return static_cast<int>(done);
}

void EpollLoop::TryAccept(IoOp& op) {
  int error = 0;
  const BatchEnd end =
      AcceptWaiting(op.fd, SOCK_NONBLOCK | SOCK_CLOEXEC, error, [&](int fd) {
        Complete(op, fd, nullptr, true);
        return !op.cancelled;
      });
  switch (end) {
    case BatchEnd::kDrained:
      // Looked up again: what the owner did may have grown the table.
      At(op.fd).readable = false;
      return Park(op);
    case BatchEnd::kFull:
      return Queue(op);  // more may wait: the thread's other work goes first
    case BatchEnd::kFailed:
      return Complete(op, -error, nullptr, false);
    case BatchEnd::kStopped:
      return Complete(op, -ECANCELED, nullptr, false);
  }
}

void EpollLoop::Complete(IoOp& op, int value, const char* lent, bool more) {
  if (!more) op.kind = IoOp::Kind::kIdle;
  op.owner->OnComplete(op, IoResult{value, lent, more});
}

}  // namespace pendrakel::server
