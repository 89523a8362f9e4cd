// RawSocket: a loopback TCP connection for fault tests that need what
// HttpClient does not offer: a small receive buffer set before connecting
// (so the window the host sees is small from the first byte), reading a
// response a piece at a time, and breaking off anywhere. Every wait is
// bounded by the caller's limit.
//
// Threads: one thread at a time per object. Owns its descriptor.
#ifndef PENDRAKEL_TESTS_HARDENING_RAW_SOCKET_H_
#define PENDRAKEL_TESTS_HARDENING_RAW_SOCKET_H_

#include <chrono>
#include <string>
#include <string_view>

namespace pendrakel::testing {

class RawSocket {
 public:
  // Connects to 127.0.0.1:`port`; a `receive_buffer_bytes` above 0 is set as
  // SO_RCVBUF first.
  explicit RawSocket(int port, int receive_buffer_bytes = 0);
  ~RawSocket() { Close(); }
  RawSocket(const RawSocket&) = delete;
  RawSocket& operator=(const RawSocket&) = delete;

  bool connected() const { return fd_ >= 0; }
  // Sends all of `bytes`; false when the connection is broken.
  bool Send(std::string_view bytes);
  // Appends up to `max` received bytes to `into`. Returns the count, 0 when
  // the host closed the connection or nothing came within `limit`.
  size_t Receive(std::string& into, size_t max,
                 std::chrono::milliseconds limit);
  // Closes at once, with a reset when `reset` is set.
  void Close(bool reset = false);

 private:
  int fd_ = -1;
};

}  // namespace pendrakel::testing

#endif  // PENDRAKEL_TESTS_HARDENING_RAW_SOCKET_H_
