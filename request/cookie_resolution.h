// Cookie resolution: picks the collection a request works in from its cookie
// header, before any command is chosen.
//
// - Distribute off: no cookie header gives the shared collection; a cookie
//   header text, taken whole and raw, names a collection in the cookie
//   table, made silently the first time; a header too long to read is
//   refused, never taken for none.
// - Distribute on: a cookie header the table knows gives its collection;
//   anything else gives a new collection under a freshly made cookie, sent
//   back in a "Set-Cookie" line written first into the response, with the
//   settings' cookie attributes after "; " when there are any.
#ifndef PENDRAKEL_REQUEST_COOKIE_RESOLUTION_H_
#define PENDRAKEL_REQUEST_COOKIE_RESOLUTION_H_

#include <cstddef>
#include <cstdint>

#include "base/isapi.h"
#include "store/values.h"

namespace pendrakel {

class Response;
struct ExtensionState;

// Capacity of the cookie text, terminator included. A longer cookie header
// gets no collection (the request is refused) when cookies are not handed
// out, and a fresh cookie, as an unknown one does, when they are.
inline constexpr size_t kCookieTextBytes = 1024;
// Fresh cookies tried before giving up when a made cookie is already taken.
inline constexpr int kCookieAttempts = 4;

// The request's handle on its collection, touched at `now`, or an empty one
// when none can be had, or its cookie header is too long to read while
// cookies are not handed out (the caller then refuses the request). May
// write the "Set-Cookie" line into the still empty `response`.
ValuesRef ResolveValues(ExtensionState& state, EXTENSION_CONTROL_BLOCK* ecb,
                        int64_t now, Response& response);

// The answer to a request that got no collection, or whose cookie or value
// name is too long to read: 500 with only "Content-Length: 0", counted in
// ValuesError.
void RefuseRequest(ExtensionState& state, EXTENSION_CONTROL_BLOCK* ecb);

}  // namespace pendrakel

#endif  // PENDRAKEL_REQUEST_COOKIE_RESOLUTION_H_
