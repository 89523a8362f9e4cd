// SendOnce: one non-blocking attempt to send a last word on a socket that
// is closed right after, outside any event loop: the 503 told to a client
// past the connection limit.
//
// The caller must be the only user of the descriptor. Any thread.
#ifndef PENDRAKEL_SERVER_IO_SOCKET_IO_H_
#define PENDRAKEL_SERVER_IO_SOCKET_IO_H_

#include <string_view>

namespace pendrakel::server {

void SendOnce(int fd, std::string_view text);

}  // namespace pendrakel::server

#endif  // PENDRAKEL_SERVER_IO_SOCKET_IO_H_
