// Small socket helpers outside any event loop.
//
// SendOnce: one non-blocking attempt to send a last word on a socket that
// is closed right after: the 503 told to a client past the connection
// limit. SendNow: the same attempt, saying how much the socket took.
// ReceiveNow: one non-blocking attempt to take what has arrived.
// PeerAddress: the client's address as the access log writes it.
//
// The caller must be the only user of the descriptor. Any thread.
#ifndef PENDRAKEL_SERVER_IO_SOCKET_IO_H_
#define PENDRAKEL_SERVER_IO_SOCKET_IO_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace pendrakel::server {

void SendOnce(int fd, std::string_view text);
// Bytes of `text` the socket took; 0 when it took none or failed.
size_t SendNow(int fd, std::string_view text);
// Bytes received into `into`; 0 when none had arrived, the stream ended or
// the socket failed (the loop's next receive tells which).
size_t ReceiveNow(int fd, char* into, size_t size);
// The numeric address of `fd`'s peer; "-" when unknown.
std::string PeerAddress(int fd);

}  // namespace pendrakel::server

#endif  // PENDRAKEL_SERVER_IO_SOCKET_IO_H_
