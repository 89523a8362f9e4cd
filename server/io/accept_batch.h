// AcceptWaiting: takes the connections waiting on a non-blocking listening
// socket with accept4, up to `at_most`, so that one busy port cannot hold
// its thread's turn. Both event loops accept this way: accept4 checks the
// process's descriptor limit as it stands at each call.
//
// Any thread; the caller owns `listen_fd` for the call.
#ifndef PENDRAKEL_SERVER_IO_ACCEPT_BATCH_H_
#define PENDRAKEL_SERVER_IO_ACCEPT_BATCH_H_

#include <sys/socket.h>

#include <cerrno>
#include <cstddef>

#include "server/limits.h"

namespace pendrakel::server {

// What ended a batch.
enum class BatchEnd {
  kDrained,  // nobody waits any more
  kFull,     // `at_most` tried: more may wait
  kFailed,   // accept4 failed with `error` (out of descriptors, ...)
  kStopped,  // `take` said stop
};

// Calls `take(fd)` for each connection accepted with `flags`; `take`
// returns false to stop. `error` is set for kFailed.
template <typename Take>
BatchEnd AcceptWaiting(int listen_fd, int flags, int& error, Take take,
                       size_t at_most = kAcceptsPerTurn) {
  for (size_t tries = 0; tries < at_most; ++tries) {
    const int fd = accept4(listen_fd, nullptr, nullptr, flags);
    if (fd >= 0) {
      if (!take(fd)) return BatchEnd::kStopped;
      continue;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) return BatchEnd::kDrained;
    // Reset before it was taken: the next may not be.
    if (errno == EINTR || errno == ECONNABORTED) continue;
    error = errno;
    return BatchEnd::kFailed;
  }
  return BatchEnd::kFull;
}

}  // namespace pendrakel::server

#endif  // PENDRAKEL_SERVER_IO_ACCEPT_BATCH_H_
