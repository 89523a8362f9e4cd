// Listener: the listening socket. It accepts on the first I/O thread and
// deals the new connections round-robin to all I/O threads, each socket
// created on its thread's io_context. Past --max-connections a new client is
// told 503 and closed at once; when the process runs out of descriptors it
// pauses accepting for kAcceptRetryDelay instead of spinning.
//
// Open runs on the main thread before the I/O threads start; Start and the
// accept chain run on the first I/O thread; Close may be called from any
// thread (it posts).
#ifndef PENDRAKEL_SERVER_LISTENER_H_
#define PENDRAKEL_SERVER_LISTENER_H_

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <memory>
#include <string>
#include <vector>

#include "server/io_thread.h"

namespace pendrakel::server {

class Listener {
 public:
  // REQUIRES: `threads` is not empty and outlives the listener.
  explicit Listener(std::vector<std::unique_ptr<IoThread>>& threads);
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  // Binds and listens. On failure returns false with a one-line `error`.
  bool Open(const boost::asio::ip::tcp::endpoint& endpoint, std::string& error);
  // The bound address (with the real port when 0 was asked for).
  boost::asio::ip::tcp::endpoint local_endpoint() const;

  void Start();
  void Close();

 private:
  void Accept();
  void OnAccept(const boost::system::error_code& error,
                boost::asio::ip::tcp::socket socket, IoThread& target);

  std::vector<std::unique_ptr<IoThread>>& threads_;
  boost::asio::ip::tcp::acceptor acceptor_;
  boost::asio::steady_timer retry_timer_;
  size_t next_thread_ = 0;
};

}  // namespace pendrakel::server

#endif  // PENDRAKEL_SERVER_LISTENER_H_
