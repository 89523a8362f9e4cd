#include "server/io/accepted_socket.h"

#include <unistd.h>

#include <boost/asio/version.hpp>

// The state bits below are those of Asio's reactive socket service in
// Asio 1.18 (Boost 1.74); another version must be checked before it is used.
static_assert(BOOST_ASIO_VERSION == 101800,
              "AcceptedSocket sets the socket state of Asio 1.18 only");
#if defined(BOOST_ASIO_HAS_IOCP)
#error "AcceptedSocket needs Asio's reactive socket service"
#endif

namespace pendrakel::server {

AcceptedSocket::AcceptedSocket(boost::asio::io_context& context,
                               const boost::asio::ip::tcp& protocol, int fd,
                               boost::system::error_code& ec)
    : boost::asio::ip::tcp::socket(context) {
  assign(protocol, fd, ec);
  if (ec) {
    ::close(fd);
    return;
  }
  namespace ops = boost::asio::detail::socket_ops;
  ops::state_type& state = impl_.get_implementation().state_;
  state |= ops::internal_non_blocking;  // accept4 made it so
  state &= static_cast<ops::state_type>(~ops::possible_dup);  // ours alone
}

}  // namespace pendrakel::server
