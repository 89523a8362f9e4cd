// Direct system calls on a connected socket, for the moments when a request
// runs outside the asynchronous read/write chain of its connection: a
// non-blocking send that takes what the socket accepts now, and blocking
// receive and send bounded by a time-out (poll), used by upload threads.
//
// The caller must be the only user of the descriptor for the duration of the
// call (the connection is lent to it). Any thread.
#ifndef PENDRAKEL_SERVER_SOCKET_IO_H_
#define PENDRAKEL_SERVER_SOCKET_IO_H_

#include <atomic>
#include <chrono>
#include <cstddef>
#include <string>

namespace pendrakel::server {

// Sends what the socket takes at once of `pending` followed by `data`; the
// unsent rest stays in (or is appended to) `pending`. False when the client
// has gone away.
bool SendWhatFits(int fd, std::string& pending, const void* data, size_t size);

// Sends all of `pending` followed by `data` and clears `pending`. False when
// the client has gone away, took nothing for `timeout`, or `abort` is set.
bool SendAll(int fd, std::string& pending, const void* data, size_t size,
             std::chrono::milliseconds timeout, const std::atomic<bool>& abort);

// Receives between 1 and `size` bytes; 0 at end of stream, on error, after
// `timeout` without data, or when `abort` is set.
size_t ReceiveSome(int fd, void* buffer, size_t size,
                   std::chrono::milliseconds timeout,
                   const std::atomic<bool>& abort);

// One non-blocking attempt to send `text` (for a last word before closing).
void SendOnce(int fd, std::string_view text);

}  // namespace pendrakel::server

#endif  // PENDRAKEL_SERVER_SOCKET_IO_H_
