// Acceptor: one I/O thread's share of the listening port. Each I/O thread
// has a listening socket of its own on the same address (SO_REUSEPORT), so
// the kernel deals new connections out to the threads and each is accepted
// on the thread that serves it, with no hand-over between threads. It keeps
// an accept under way on its loop (multishot on io_uring); each connection
// arrives with TCP_NODELAY from the listening socket, so a connection costs
// no system call for it.
//
// Past --max-connections a new client is told 503 and closed at once (on
// the TLS port only closed: it expects no plaintext); the access log gets
// its line like every other answer. When
// accepting fails (out of descriptors or memory), the acceptor pauses for
// kAcceptRetryDelay, retried at its thread's ticks, instead of spinning.
//
// Owned by its IoThread; everything on that thread.
#ifndef PENDRAKEL_SERVER_IO_ACCEPTOR_H_
#define PENDRAKEL_SERVER_IO_ACCEPTOR_H_

#include <chrono>

#include "server/io/event_loop.h"

namespace pendrakel::server {

class IoThread;

class Acceptor final : public IoOwner {
 public:
  using Clock = std::chrono::steady_clock;

  // `tls`: the connections accepted here speak TLS.
  Acceptor(IoThread& thread, bool tls) : thread_(thread), tls_(tls) {}
  ~Acceptor();
  Acceptor(const Acceptor&) = delete;
  Acceptor& operator=(const Acceptor&) = delete;

  // Accepts on `listen_fd`, which the acceptor owns from now on.
  void Start(int listen_fd);
  // Stops accepting and closes the listening socket.
  void Stop();
  // Tries again after a failure, once its pause is over.
  void OnTick(Clock::time_point now);

 private:
  void OnComplete(IoOp& op, const IoResult& result) override;
  void Admit(int fd);

  IoThread& thread_;
  const bool tls_;
  IoOp op_{*this};
  IoOp closer_{*this};
  int listen_fd_ = -1;
  bool stopping_ = false;
  // Paused after a failure until then; max() while not paused.
  Clock::time_point retry_at_ = Clock::time_point::max();
};

}  // namespace pendrakel::server

#endif  // PENDRAKEL_SERVER_IO_ACCEPTOR_H_
