// Request dispatch: the road of one request from the host to its answer.
//
// A STAT request is answered from the counters alone. Every other request
// reads the time once, resolves its collection from its cookie, picks the
// command form (POST, command name in the path, value name in X-Param-Name)
// or the method form (value name in the path), runs one value operation and
// drops its reference on the collection. A request whose cookie or
// X-Param-Name is too long to read gets the refusal of a request with no
// collection (request/cookie_resolution.h), never the shared collection or
// the empty name; the name is read, for get, set and del, before any
// collection is resolved. Safe to call from any number of threads at once.
#ifndef PENDRAKEL_REQUEST_DISPATCH_H_
#define PENDRAKEL_REQUEST_DISPATCH_H_

#include <string_view>

#include "base/isapi.h"

namespace pendrakel {

struct ExtensionState;

// Answers one request; always HSE_STATUS_SUCCESS.
DWORD HandleRequest(ExtensionState& state, EXTENSION_CONTROL_BLOCK* ecb);

// The path info after the first PathBaseLength bytes; empty when the path
// info is shorter.
std::string_view PathRemainder(const char* pathInfo, int pathBaseLength);

}  // namespace pendrakel

#endif  // PENDRAKEL_REQUEST_DISPATCH_H_
