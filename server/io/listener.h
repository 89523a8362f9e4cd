// Listener: the host's listening port. Each I/O thread gets a listening
// socket of its own on the same address (SO_REUSEPORT) and accepts on it
// (Acceptor), so the kernel deals new connections out to the threads.
//
// OpenListeningSocket is also the admin port's way to bind.
//
// Open, Start and Close run on the main thread (Start and Close notify the
// I/O threads, which do the accepting and the closing).
#ifndef PENDRAKEL_SERVER_IO_LISTENER_H_
#define PENDRAKEL_SERVER_IO_LISTENER_H_

#include <boost/asio/ip/tcp.hpp>
#include <memory>
#include <string>
#include <vector>

#include "server/io/io_thread.h"

namespace pendrakel::server {

// How a socket is prepared: bound only (to find out whether the address is
// free), listening alone, or listening on a port shared with the other
// threads' sockets (SO_REUSEPORT).
enum class BindMode { kProbe, kAlone, kSharedPort };

// A non-blocking socket bound to `endpoint` (SO_REUSEADDR) as `mode` says;
// a listening one gets TCP_NODELAY and TCP_NOTSENT_LOWAT of kMaxUnsentBytes,
// which the connections it accepts inherit. -1 with `error` (why, in the
// system's words) when a step fails.
int OpenListeningSocket(const boost::asio::ip::tcp::endpoint& endpoint,
                        BindMode mode, std::string& error);

class Listener {
 public:
  // REQUIRES: `threads` is not empty and outlives the listener. `tls`: the
  // threads accept TLS connections here.
  Listener(std::vector<std::unique_ptr<IoThread>>& threads, bool tls);
  ~Listener();
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  // Binds and listens, every thread's socket on the port the first one
  // got. On failure returns false with a one-line `error`.
  bool Open(const boost::asio::ip::tcp::endpoint& endpoint, std::string& error);
  // The bound address (with the real port when 0 was asked for).
  boost::asio::ip::tcp::endpoint local_endpoint() const { return bound_; }

  // Hands each I/O thread its socket to accept on.
  void Start();
  // Each I/O thread stops accepting and closes its socket.
  void Close();

 private:
  // One more of the threads' sockets, on `endpoint`.
  bool OpenShared(const boost::asio::ip::tcp::endpoint& endpoint,
                  std::string& error);

  std::vector<std::unique_ptr<IoThread>>& threads_;
  const bool tls_;
  // The threads' sockets until Start hands them over.
  std::vector<int> fds_;
  boost::asio::ip::tcp::endpoint bound_;
};

}  // namespace pendrakel::server

#endif  // PENDRAKEL_SERVER_IO_LISTENER_H_
