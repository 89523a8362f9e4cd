// ClientChannel: how an extension call reaches its client beyond the bytes
// already in hand. The connection's channel runs on the call's fiber: a read
// with no body bytes ready, or a write the socket cannot take yet, parks the
// fiber until the socket is ready, so the calls look synchronous to the
// extension while no thread waits.
//
// Called only from the fiber running the extension call.
#ifndef PENDRAKEL_SERVER_IO_CLIENT_CHANNEL_H_
#define PENDRAKEL_SERVER_IO_CLIENT_CHANNEL_H_

#include <cstddef>
#include <string>

#include "server/http/http_error.h"

namespace pendrakel::server {

class ClientChannel {
 public:
  // Reads between 1 and `size` body bytes (the caller never asks past the
  // body's end) into `buffer`. 0 when the client has gone away or was too
  // slow (ReadFailure tells which).
  virtual size_t ReadBody(void* buffer, size_t size) = 0;

  // Why the last ReadBody gave 0: kRequestTimeout for a client that sent
  // too little for too long, kNone for one that went away.
  virtual HttpError ReadFailure() const = 0;

  // Sends the buffered response bytes `pending` followed by `size` bytes at
  // `data` before returning, straight from `data` (the caller frees it
  // afterwards), and clears `pending`. False when the client has gone away
  // or took nothing for the write time-out.
  virtual bool SendThrough(std::string& pending, const void* data,
                           size_t size) = 0;

 protected:
  ~ClientChannel() = default;
};

}  // namespace pendrakel::server

#endif  // PENDRAKEL_SERVER_IO_CLIENT_CHANNEL_H_
