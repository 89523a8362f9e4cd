#include "server/io/socket_io.h"

#include <arpa/inet.h>
#include <sys/socket.h>

namespace pendrakel::server {

void SendOnce(int fd, std::string_view text) { SendNow(fd, text); }

size_t SendNow(int fd, std::string_view text) {
  const ssize_t sent =
      send(fd, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  return sent > 0 ? static_cast<size_t>(sent) : 0;
}

size_t ReceiveNow(int fd, char* into, size_t size) {
  const ssize_t got = recv(fd, into, size, MSG_DONTWAIT);
  return got > 0 ? static_cast<size_t>(got) : 0;
}

std::string PeerAddress(int fd) {
  sockaddr_storage peer{};
  socklen_t size = sizeof peer;
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &size) != 0)
    return "-";
  char text[INET6_ADDRSTRLEN] = "-";
  const void* address =
      peer.ss_family == AF_INET6
          ? static_cast<const void*>(
                &reinterpret_cast<const sockaddr_in6&>(peer).sin6_addr)
          : &reinterpret_cast<const sockaddr_in&>(peer).sin_addr;
  inet_ntop(peer.ss_family, address, text, sizeof text);
  return text;
}

}  // namespace pendrakel::server
