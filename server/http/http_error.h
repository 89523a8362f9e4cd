// HttpError: the answers the host gives on its own, without the extension:
// bad or oversized requests, time-outs, overload, and an extension that sent
// no response head. Each has one canned response; all but kNoResponse close
// the connection.
//
// Constants only; any thread.
#ifndef PENDRAKEL_SERVER_HTTP_HTTP_ERROR_H_
#define PENDRAKEL_SERVER_HTTP_HTTP_ERROR_H_

#include <string_view>

namespace pendrakel::server {

enum class HttpError {
  kNone,
  kBadRequest,      // 400: malformed head, bad framing, smuggling
  kRequestTimeout,  // 408: head not complete within the head time-out
  kBodyTooLarge,    // 413: body over --max-body
  kHeadTooLarge,    // 431: head over --max-head
  kNotImplemented,  // 501: a transfer coding other than chunked
  kUnavailable,     // 503: connection limit reached
  kUploadsBusy,     // 503: no room in the budget of uploads in progress
  kNoMemory,        // 503: no fiber stack or buffer for the request
  kNoResponse,      // 500: the extension sent no head (kept alive)
};

// The complete response (status line, headers, body) for `error`.
// REQUIRES: error != kNone.
std::string_view ErrorResponse(HttpError error);

// The status code of that response.
int ErrorStatus(HttpError error);

}  // namespace pendrakel::server

#endif  // PENDRAKEL_SERVER_HTTP_HTTP_ERROR_H_
