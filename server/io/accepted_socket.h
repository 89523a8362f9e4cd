// AcceptedSocket: the socket of one accepted connection, made from a
// descriptor that accept4 returned non-blocking and that nothing else holds.
//
// Asio takes any descriptor it is handed for one that may be shared with
// another object (a dup), so it would make it non-blocking again at its first
// operation and take it out of epoll before closing it: two system calls per
// connection that a descriptor of our own does not need, since closing it
// removes it from epoll. The constructor tells Asio what is true of this one.
// That needs the socket state of the Asio in Boost 1.74, which
// accepted_socket.cc checks when it is compiled.
//
// Threads: as boost::asio::ip::tcp::socket.
#ifndef PENDRAKEL_SERVER_IO_ACCEPTED_SOCKET_H_
#define PENDRAKEL_SERVER_IO_ACCEPTED_SOCKET_H_

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

namespace pendrakel::server {

class AcceptedSocket : public boost::asio::ip::tcp::socket {
 public:
  // Takes over `fd`, a connected socket of `protocol` from accept4 with
  // SOCK_NONBLOCK, and registers it with `context`. On failure `ec` is set
  // and `fd` is closed.
  AcceptedSocket(boost::asio::io_context& context,
                 const boost::asio::ip::tcp& protocol, int fd,
                 boost::system::error_code& ec);
  AcceptedSocket(AcceptedSocket&&) = default;
  AcceptedSocket& operator=(AcceptedSocket&&) = default;
};

}  // namespace pendrakel::server

#endif  // PENDRAKEL_SERVER_IO_ACCEPTED_SOCKET_H_
