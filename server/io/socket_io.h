// Small socket helpers outside any event loop.
//
// SendOnce: one non-blocking attempt to send a last word on a socket that
// is closed right after: the 503 told to a client past the connection
// limit. PeerAddress: the client's address as the access log writes it.
//
// The caller must be the only user of the descriptor. Any thread.
#ifndef PENDRAKEL_SERVER_IO_SOCKET_IO_H_
#define PENDRAKEL_SERVER_IO_SOCKET_IO_H_

#include <string>
#include <string_view>

namespace pendrakel::server {

void SendOnce(int fd, std::string_view text);
// The numeric address of `fd`'s peer; "-" when unknown.
std::string PeerAddress(int fd);

}  // namespace pendrakel::server

#endif  // PENDRAKEL_SERVER_IO_SOCKET_IO_H_
