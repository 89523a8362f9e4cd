// Reading a server variable from the host, the one host call besides the
// response (request/response.h) and the body reads of a store.
#ifndef PENDRAKEL_REQUEST_HOST_CALLS_H_
#define PENDRAKEL_REQUEST_HOST_CALLS_H_

#include "base/isapi.h"

namespace pendrakel {

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
