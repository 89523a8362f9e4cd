#include "server/io/socket_io.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>

namespace pendrakel::server {
namespace {

constexpr int kSendFlags = MSG_NOSIGNAL | MSG_DONTWAIT;

}  // namespace

ssize_t SendSome(int fd, const char* first, size_t first_size,
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

void SendOnce(int fd, std::string_view text) {
  [[maybe_unused]] const ssize_t ignored =
      send(fd, text.data(), text.size(), kSendFlags);
}

}  // namespace pendrakel::server
