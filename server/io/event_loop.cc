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

}  // namespace pendrakel::server
