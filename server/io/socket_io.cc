#include "server/io/socket_io.h"

#include <sys/socket.h>

namespace pendrakel::server {

void SendOnce(int fd, std::string_view text) {
  [[maybe_unused]] const ssize_t ignored =
      send(fd, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

}  // namespace pendrakel::server
