// Response: the answer to one request, built in the order its lines go out.
//
//   the status text           chosen when the head is sent
//   "Set-Cookie"              written first, by cookie resolution
//   "x-result-*"              the command form's result lines
//   the answer's own lines    a read's Content-Length and Content-Type, or
//                             the STAT report's numbers
//   "Content-Length: 0"       closing every answer without a body
//   the empty line            then the head is sent, once
//   the body                  a read with body only
//
// Lines go into a HeaderBlock, whole or not at all. Lives on the request's
// own stack; never shared between threads. The host's answers to the sends
// are not looked at: a client that has gone away changes no outcome.
#ifndef PENDRAKEL_REQUEST_RESPONSE_H_
#define PENDRAKEL_REQUEST_RESPONSE_H_

#include <cstdint>
#include <string_view>

#include "base/isapi.h"
#include "request/header_block.h"

namespace pendrakel {

enum class Status {
  kOk,
  kCreated,
  kNoContent,
  kNotFound,
  kServerError,
  kNotImplemented,
};

// The status text sent for `status`, e.g. "200 OK(Pendrakel)".
const char* StatusText(Status status);

class Response {
 public:
  explicit Response(EXTENSION_CONTROL_BLOCK* ecb) : ecb_(ecb) {}
  Response(const Response&) = delete;
  Response& operator=(const Response&) = delete;

  // Header lines, in the order above; each false, with nothing written, when
  // it does not fit.
  bool AddLine(std::string_view line) { return block_.Append(line); }
  bool AddField(std::string_view name, std::string_view value) {
    return block_.AppendField(name, value);
  }
  bool AddNumber(std::string_view name, uint64_t number) {
    return block_.AppendNumber(name, number);
  }

  // Closes the head of an answer without a body ("Content-Length: 0", the
  // empty line) and sends it with `status`.
  void SendWithoutBody(Status status);
  // Closes the head of an answer whose lines give its length and sends it
  // with `status`; the body follows with SendBody.
  void SendHeadBeforeBody(Status status);
  // Writes `size` body bytes synchronously, after SendHeadBeforeBody.
  void SendBody(const unsigned char* data, uint32_t size);

 private:
  EXTENSION_CONTROL_BLOCK* ecb_;
  HeaderBlock block_;
};

}  // namespace pendrakel

#endif  // PENDRAKEL_REQUEST_RESPONSE_H_
