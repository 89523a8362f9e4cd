// Reading a server variable from the host, the one host call besides the
// response (request/response.h) and the body reads of a store.
#ifndef PENDRAKEL_REQUEST_HOST_CALLS_H_
#define PENDRAKEL_REQUEST_HOST_CALLS_H_

#include "base/isapi.h"

namespace pendrakel {

// What a server variable read into a buffer gave.
enum class VariableRead {
  kRead,     // the value and its terminator are in the buffer
  kAbsent,   // the host has no such variable (or no such header)
  kTooLong,  // present, but it does not fit the buffer with its terminator
};

// Reads the server variable `name` into `buffer` of `capacity` bytes. An
// empty text is left in `buffer` unless the value was read. A host that
// refuses a value for its size writes the size it needs back (the
// extension interface's convention), which tells a value too long from an
// absent one. REQUIRES: capacity > 0.
inline VariableRead ReadVariable(EXTENSION_CONTROL_BLOCK* ecb, const char* name,
                                 char* buffer, DWORD capacity) {
  DWORD size = capacity;
  if (ecb->GetServerVariable(ecb->ConnID, const_cast<char*>(name), buffer,
                             &size)) {
    buffer[capacity - 1] = '\0';  // a host that forgot the terminator
    return VariableRead::kRead;
  }
  buffer[0] = '\0';
  return size > capacity ? VariableRead::kTooLong : VariableRead::kAbsent;
}

}  // namespace pendrakel

#endif  // PENDRAKEL_REQUEST_HOST_CALLS_H_
