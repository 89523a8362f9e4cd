// PercentDecode: turns the path of a request target into the path info an
// extension sees, "%20" becoming a blank. '+' stays '+' (it means a blank
// only in form data, not in paths).
//
// A pure function; any thread.
#ifndef PENDRAKEL_SERVER_HTTP_PERCENT_DECODE_H_
#define PENDRAKEL_SERVER_HTTP_PERCENT_DECODE_H_

#include <string>
#include <string_view>

namespace pendrakel::server {

enum class DecodeResult {
  kOk,
  kMalformedEscape,  // '%' not followed by two hexadecimal digits
  kNulByte,          // an escape that decodes to 0, which would cut the text
};

// Appends the decoded `in` to `out`. On failure `out` holds a partial
// result that the caller discards.
DecodeResult PercentDecode(std::string_view in, std::string& out);

}  // namespace pendrakel::server

#endif  // PENDRAKEL_SERVER_HTTP_PERCENT_DECODE_H_
