// Listener: the listening sockets. Each I/O thread has an acceptor of its
// own on the same address (SO_REUSEPORT), so the kernel deals new
// connections out to the threads and each is accepted on the thread that
// serves it, with no hand-over between threads. When its socket is ready an
// acceptor takes the waiting connections with accept4, already
// non-blocking and with TCP_NODELAY from the listening socket (so a
// connection costs no system call for either), up to kAcceptsPerTurn before
// the thread's other work gets its turn. Past --max-connections a new client
// is told 503 and closed at once; when the process runs out of descriptors
// an acceptor pauses for kAcceptRetryDelay instead of spinning.
//
// Open runs on the main thread before the I/O threads start; each accept
// chain runs on its own I/O thread; Start and Close may be called from any
// thread (they post).
#ifndef PENDRAKEL_SERVER_IO_LISTENER_H_
#define PENDRAKEL_SERVER_IO_LISTENER_H_

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <memory>
#include <string>
#include <vector>

#include "server/io/io_thread.h"

namespace pendrakel::server {

// How BindAcceptor prepares a socket: bound only (to find out whether the
// address is free), listening alone, or listening on a port shared with the
// other threads' acceptors (SO_REUSEPORT).
enum class BindMode { kProbe, kAlone, kSharedPort };

// Opens `acceptor` on `endpoint` (SO_REUSEADDR) as `mode` says; a listening
// socket gets TCP_NODELAY, which the connections it accepts inherit. False,
// with `ec` set, when any step fails.
bool BindAcceptor(boost::asio::ip::tcp::acceptor& acceptor,
                  const boost::asio::ip::tcp::endpoint& endpoint, BindMode mode,
                  boost::system::error_code& ec);

class Listener {
 public:
  // REQUIRES: `threads` is not empty and outlives the listener.
  explicit Listener(std::vector<std::unique_ptr<IoThread>>& threads);
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  // Binds and listens, every acceptor on the port the first one got. On
  // failure returns false with a one-line `error`.
  bool Open(const boost::asio::ip::tcp::endpoint& endpoint, std::string& error);
  // The bound address (with the real port when 0 was asked for).
  boost::asio::ip::tcp::endpoint local_endpoint() const;

  void Start();
  void Close();

 private:
  // One I/O thread's acceptor.
  struct Acceptor {
    explicit Acceptor(IoThread& io)
        : thread(io), socket(io.context()), retry_timer(io.context()) {}
    IoThread& thread;
    boost::asio::ip::tcp::acceptor socket;
    boost::asio::ip::tcp protocol = boost::asio::ip::tcp::v4();
    boost::asio::steady_timer retry_timer;
  };

  bool Probe(boost::asio::ip::tcp::endpoint& endpoint,
             boost::system::error_code& ec);
  // Takes the connections waiting on `acceptor`, then waits for more.
  static void AcceptWaiting(Acceptor& acceptor);
  static void WaitForMore(Acceptor& acceptor);
  static void RetryLater(Acceptor& acceptor);
  // Serves the connection accepted as `fd`, or refuses it when the host is
  // full.
  static void Admit(Acceptor& acceptor, int fd);

  std::vector<std::unique_ptr<Acceptor>> acceptors_;
};

}  // namespace pendrakel::server

#endif  // PENDRAKEL_SERVER_IO_LISTENER_H_
