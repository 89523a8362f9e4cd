// ClientChannel: how an extension call reaches its client beyond the bytes
// already in hand. A connection offers two: on its I/O thread nothing may
// block (the body is complete, large writes that the socket cannot take at
// once are buffered); on an upload thread reads and writes block, bounded by
// the read and write time-outs.
//
// Called only from the thread running the extension call.
#ifndef PENDRAKEL_SERVER_CLIENT_CHANNEL_H_
#define PENDRAKEL_SERVER_CLIENT_CHANNEL_H_

#include <cstddef>
#include <string>

namespace pendrakel::server {

class ClientChannel {
 public:
  // Reads between 1 and `size` body bytes (the caller never asks past the
  // body's end) into `buffer`. 0 when the client has gone away or stayed
  // silent past the read time-out.
  virtual size_t ReadBody(void* buffer, size_t size) = 0;

  // Sends the buffered response bytes `pending` followed by `size` bytes at
  // `data`, before returning (the caller frees `data` afterwards). Whatever
  // could not be sent may be left appended to `pending`. False when the
  // client has gone away.
  virtual bool SendThrough(std::string& pending, const void* data,
                           size_t size) = 0;

 protected:
  ~ClientChannel() = default;
};

}  // namespace pendrakel::server

#endif  // PENDRAKEL_SERVER_CLIENT_CHANNEL_H_
