// The few calls request handling makes on the host, in one place.
#ifndef PENDRAKEL_REQUEST_HOST_CALLS_H_
#define PENDRAKEL_REQUEST_HOST_CALLS_H_

#include <cstdint>

#include "base/isapi.h"
#include "request/header_block.h"

namespace pendrakel {

// Sends the response head: `status` (e.g. "200 OK(Pendrakel)") and the
// closed header block. The host's answer is not looked at: a client that has
// gone away changes no outcome.
inline void SendHead(EXTENSION_CONTROL_BLOCK* ecb, const char* status,
                     HeaderBlock& block) {
  ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_SEND_RESPONSE_HEADER,
                             const_cast<char*>(status), nullptr,
                             reinterpret_cast<DWORD*>(block.text()));
}

// Writes `size` body bytes synchronously; the result is not looked at.
inline void SendBody(EXTENSION_CONTROL_BLOCK* ecb, const unsigned char* data,
                     uint32_t size) {
  DWORD bytes = size;
  ecb->WriteClient(ecb->ConnID, const_cast<unsigned char*>(data), &bytes,
                   HSE_IO_SYNC);
}

// Reads the server variable `name` into `buffer` of `capacity` bytes. False
// (with an empty text in `buffer`) when it is absent or does not fit.
inline bool ReadVariable(EXTENSION_CONTROL_BLOCK* ecb, const char* name,
                         char* buffer, DWORD capacity) {
  DWORD size = capacity;
  if (ecb->GetServerVariable(ecb->ConnID, const_cast<char*>(name), buffer,
                             &size)) {
    buffer[capacity - 1] = '\0';  // a host that forgot the terminator
    return true;
  }
  buffer[0] = '\0';
  return false;
}

}  // namespace pendrakel

#endif  // PENDRAKEL_REQUEST_HOST_CALLS_H_
