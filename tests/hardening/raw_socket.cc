#include "tests/hardening/raw_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/server/http_client.h"

namespace pendrakel::testing {

RawSocket::RawSocket(int port, int receive_buffer_bytes) {
  fd_ = socket(AF_INET, SOCK_STREAM, 0);
  if (fd_ < 0) return;
  if (receive_buffer_bytes > 0) {
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer_bytes,
               sizeof receive_buffer_bytes);
  }
  const int one = 1;
  setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (!ConnectToLoopback(fd_, port)) {
    close(fd_);
    fd_ = -1;
  }
}

bool RawSocket::Send(std::string_view bytes) {
  return fd_ >= 0 && SendAll(fd_, bytes);
}

size_t RawSocket::Receive(std::string& into, size_t max,
                          std::chrono::milliseconds limit) {
  if (fd_ < 0 || max == 0) return 0;
  pollfd entry{fd_, POLLIN, 0};
  if (poll(&entry, 1, static_cast<int>(limit.count())) <= 0) return 0;
  const size_t start = into.size();
  into.resize(start + max);
  const ssize_t got = recv(fd_, into.data() + start, max, 0);
  into.resize(start + (got > 0 ? static_cast<size_t>(got) : 0));
  return got > 0 ? static_cast<size_t>(got) : 0;
}

void RawSocket::Close(bool reset) {
  if (fd_ < 0) return;
  if (reset) {
    linger option{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &option, sizeof option);
  }
  close(fd_);
  fd_ = -1;
}

}  // namespace pendrakel::testing
