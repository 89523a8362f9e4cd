// The response head an extension sends through ServerSupportFunction
// (HSE_REQ_SEND_RESPONSE_HEADER), turned into HTTP: "HTTP/1.1 " + the status
// text exactly as given, the host's Date line (and "Connection: close" when
// the connection will not be kept), then the extension's header block
// unchanged. The block is also read for what the host must know to keep the
// connection: the declared Content-Length and a "Connection: close" of its
// own.
//
// Pure functions; any thread.
#ifndef PENDRAKEL_SERVER_HTTP_RESPONSE_HEAD_H_
#define PENDRAKEL_SERVER_HTTP_RESPONSE_HEAD_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace pendrakel::server {

struct BlockFacts {
  // The body length the block declares; empty when it declares none, or an
  // unusable one (not a number, several different values, or a
  // Transfer-Encoding line beside it).
  std::optional<uint64_t> content_length;
  bool connection_close = false;
};

BlockFacts ReadHeaderBlock(std::string_view block);

// The status code at the front of a status text ("404 Not Found(x)" gives
// 404); 0 when the text does not start with three digits.
int StatusCode(std::string_view status_text);

// True for responses that never carry a body (1xx, 204, 304).
bool StatusHasNoBody(int status);

// Appends the whole head to `out`. A null status gives "200 OK", a status
// text is cut at a line break so it cannot add header lines, and a block that
// is not closed by an empty line is closed.
void AppendResponseHead(std::string& out, const char* status_text,
                        const char* block, bool connection_close);

}  // namespace pendrakel::server

#endif  // PENDRAKEL_SERVER_HTTP_RESPONSE_HEAD_H_
