// Direct non-blocking system calls on a connected socket, for the moments
// when a request sends outside the asynchronous write chain of its
// connection: a gather send of two pieces that takes what the socket
// accepts now, and a last word before closing.
//
// The caller must be the only user of the descriptor for the duration of the
// call. Any thread.
#ifndef PENDRAKEL_SERVER_IO_SOCKET_IO_H_
#define PENDRAKEL_SERVER_IO_SOCKET_IO_H_

#include <sys/types.h>

#include <cstddef>
#include <string_view>

namespace pendrakel::server {

// Sends from `first` then `second` (either may be empty) what the socket
// takes now: the count sent, 0 when it takes nothing now, -1 when the
// connection is broken.
ssize_t SendSome(int fd, const char* first, size_t first_size,
                 const char* second, size_t second_size);

// One non-blocking attempt to send `text` (for a last word before closing).
void SendOnce(int fd, std::string_view text);

}  // namespace pendrakel::server

#endif  // PENDRAKEL_SERVER_IO_SOCKET_IO_H_
