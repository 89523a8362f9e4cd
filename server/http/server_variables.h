// GetServerVariable for one request: the CGI-style variables an extension
// asks for by name, answered from a parsed RequestHead.
//
// "HTTP_" followed by a header name upper-cased with dashes written as
// underscores gives that header's value; several fields of one name are
// joined with "; " for Cookie and ", " otherwise. A header whose own name
// contains an underscore is not visible this way, so "X_Param_Name" cannot
// pose as "X-Param-Name". REQUEST_METHOD, PATH_INFO, QUERY_STRING,
// CONTENT_TYPE, CONTENT_LENGTH and SERVER_PROTOCOL are known as well.
//
// Buffer rule: on success the buffer holds the value and its NUL, which fit
// into `*size` bytes; a value that does not fit gives false with `*size` set
// to the bytes needed (value plus NUL) and the buffer untouched. An unknown
// variable or an absent header gives false with `*size` unchanged.
//
// A pure function of its arguments; any thread.
#ifndef PENDRAKEL_SERVER_HTTP_SERVER_VARIABLES_H_
#define PENDRAKEL_SERVER_HTTP_SERVER_VARIABLES_H_

#include <cstdint>

#include "base/isapi.h"
#include "server/http/request_head.h"

namespace pendrakel::server {

// `total_bytes` is the body length the control block reports.
bool LookUpServerVariable(const RequestHead& head, uint64_t total_bytes,
                          const char* name, void* buffer, DWORD* size);

}  // namespace pendrakel::server

#endif  // PENDRAKEL_SERVER_HTTP_SERVER_VARIABLES_H_
