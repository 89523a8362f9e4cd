#include "server/io/event_loop.h"

#include "server/io/epoll_loop.h"
#include "server/io/uring_loop.h"

namespace pendrakel::server {

std::string_view BackendName(IoBackend backend) {
  return backend == IoBackend::kUring ? "io_uring" : "epoll";
}

std::unique_ptr<EventLoop> EventLoop::Open(IoChoice choice,
                                           std::string* fallback_reason) {
  std::string error;
  if (choice == IoChoice::kAuto) {
    if (std::unique_ptr<UringLoop> uring = UringLoop::Open(error)) return uring;
    if (fallback_reason != nullptr) *fallback_reason = error;
  }
  std::unique_ptr<EpollLoop> epoll = EpollLoop::Open(error);
  if (!epoll && fallback_reason != nullptr) *fallback_reason = error;
  return epoll;
}

void EventLoop::Describe(IoOp& op, IoOp::Kind kind, int fd) {
  op.kind = kind;
  op.fd = fd;
  op.cancelled = false;
}

void EventLoop::ReceiveLent(IoOp& op, int fd, bool after_answer) {
  Describe(op, IoOp::Kind::kReceiveLent, fd);
  op.after_answer = after_answer;
  Start(op);
}

void EventLoop::Receive(IoOp& op, int fd, void* into, size_t size) {
  Describe(op, IoOp::Kind::kReceive, fd);
  op.pieces[0] = {into, size};
  Start(op);
}

void EventLoop::Read(IoOp& op, int fd, void* into, size_t size) {
  Describe(op, IoOp::Kind::kRead, fd);
  op.pieces[0] = {into, size};
  Start(op);
}

void EventLoop::Send(IoOp& op, int fd, std::string_view first,
                     std::string_view second) {
  Describe(op, IoOp::Kind::kSend, fd);
  iovec* piece = op.pieces;
  for (const std::string_view part : {first, second}) {
    if (!part.empty()) *piece++ = {const_cast<char*>(part.data()), part.size()};
  }
  op.message = {};
  op.message.msg_iov = op.pieces;
  op.message.msg_iovlen = static_cast<size_t>(piece - op.pieces);
  Start(op);
}

void EventLoop::Accept(IoOp& op, int listen_fd) {
  Describe(op, IoOp::Kind::kAccept, listen_fd);
  Start(op);
}

void EventLoop::ShutdownSend(IoOp& op, int fd) {
  Describe(op, IoOp::Kind::kShutdown, fd);
  Start(op);
}

void EventLoop::Close(IoOp& op, int fd) {
  Describe(op, IoOp::Kind::kClose, fd);
  Start(op);
}

}  // namespace pendrakel::server
