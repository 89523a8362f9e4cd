#include "server/socket_io.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>

namespace pendrakel::server {
namespace {

constexpr int kSendFlags = MSG_NOSIGNAL | MSG_DONTWAIT;

// Sends from two pieces; the count sent, 0 when the socket takes nothing now,
// -1 when the connection is broken.
ssize_t SendPieces(int fd, const char* first, size_t first_size,
                   const char* second, size_t second_size) {
  iovec pieces[2] = {{const_cast<char*>(first), first_size},
                     {const_cast<char*>(second), second_size}};
  msghdr message{};
  message.msg_iov = first_size == 0 ? pieces + 1 : pieces;
  message.msg_iovlen = first_size == 0 ? 1 : 2;
  for (;;) {
    const ssize_t sent = sendmsg(fd, &message, kSendFlags);
    if (sent >= 0) return sent;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    return -1;
  }
}

// Waits for `events` on fd; false after the time-out.
bool WaitFor(int fd, short events, std::chrono::milliseconds timeout) {
  pollfd entry{fd, events, 0};
  for (;;) {
    const int ready = poll(&entry, 1, static_cast<int>(timeout.count()));
    if (ready > 0) return true;
    if (ready == 0) return false;
    if (errno != EINTR) return true;  // the next call reports the error
  }
}

}  // namespace

bool SendWhatFits(int fd, std::string& pending, const void* data, size_t size) {
  const char* bytes = static_cast<const char*>(data);
  const ssize_t sent =
      SendPieces(fd, pending.data(), pending.size(), bytes, size);
  if (sent < 0) return false;
  const size_t from_pending =
      std::min(static_cast<size_t>(sent), pending.size());
  const size_t from_data = static_cast<size_t>(sent) - from_pending;
  pending.erase(0, from_pending);
  pending.append(bytes + from_data, size - from_data);
  return true;
}

bool SendAll(int fd, std::string& pending, const void* data, size_t size,
             std::chrono::milliseconds timeout,
             const std::atomic<bool>& abort) {
  const char* bytes = static_cast<const char*>(data);
  size_t pending_sent = 0;
  size_t data_sent = 0;
  while (pending_sent < pending.size() || data_sent < size) {
    if (abort.load(std::memory_order_relaxed)) return false;
    const ssize_t sent = SendPieces(fd, pending.data() + pending_sent,
                                    pending.size() - pending_sent,
                                    bytes + data_sent, size - data_sent);
    if (sent < 0) return false;
    if (sent == 0 && !WaitFor(fd, POLLOUT, timeout)) return false;
    size_t left = static_cast<size_t>(sent);
    const size_t from_pending = std::min(left, pending.size() - pending_sent);
    pending_sent += from_pending;
    data_sent += left - from_pending;
  }
  pending.clear();
  return true;
}

size_t ReceiveSome(int fd, void* buffer, size_t size,
                   std::chrono::milliseconds timeout,
                   const std::atomic<bool>& abort) {
  for (;;) {
    if (abort.load(std::memory_order_relaxed)) return 0;
    const ssize_t got = recv(fd, buffer, size, MSG_DONTWAIT);
    if (got > 0) return static_cast<size_t>(got);
    if (got == 0) return 0;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return 0;
    if (!WaitFor(fd, POLLIN, timeout)) return 0;
  }
}

void SendOnce(int fd, std::string_view text) {
  [[maybe_unused]] const ssize_t ignored =
      send(fd, text.data(), text.size(), kSendFlags);
}

}  // namespace pendrakel::server
