#include "server/http/response_head.h"

#include "base/ascii_text.h"
#include "server/http/http_date.h"

namespace pendrakel::server {
namespace {

constexpr std::string_view kCrLf = "\r\n";

std::optional<uint64_t> ParseDecimal(std::string_view text) {
  if (text.empty() || text.size() > 19) return {};
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return {};
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  return value;
}

bool ListHasClose(std::string_view value) {
  while (!value.empty()) {
    const size_t comma = value.find(',');
    const std::string_view token = TrimBlanks(value.substr(0, comma));
    if (EqualsIgnoringAsciiCase(token, "close")) return true;
    if (comma == std::string_view::npos) break;
    value.remove_prefix(comma + 1);
  }
  return false;
}

}  // namespace

BlockFacts ReadHeaderBlock(std::string_view block) {
  BlockFacts facts;
  bool length_unusable = false;
  bool chunked = false;
  while (!block.empty()) {
    const size_t end = block.find(kCrLf);
    const std::string_view line = block.substr(0, end);
    block.remove_prefix(end == std::string_view::npos ? block.size()
                                                      : end + kCrLf.size());
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    const std::string_view name = line.substr(0, colon);
    // Three names matter, each of a length of its own: most lines are
    // passed over on their length alone.
    if (name.size() == 14 && EqualsIgnoringAsciiCase(name, "content-length")) {
      const auto length = ParseDecimal(TrimBlanks(line.substr(colon + 1)));
      if (!length || (facts.content_length && *facts.content_length != *length))
        length_unusable = true;
      facts.content_length = length;
    } else if (name.size() == 17 &&
               EqualsIgnoringAsciiCase(name, "transfer-encoding")) {
      chunked = true;
    } else if (name.size() == 10 &&
               EqualsIgnoringAsciiCase(name, "connection")) {
      facts.connection_close |=
          ListHasClose(TrimBlanks(line.substr(colon + 1)));
    }
  }
  if (length_unusable || chunked) facts.content_length.reset();
  return facts;
}

int StatusCode(std::string_view status_text) {
  if (status_text.size() < 3) return 0;
  int code = 0;
  for (size_t i = 0; i < 3; ++i) {
    const char c = status_text[i];
    if (c < '0' || c > '9') return 0;
    code = code * 10 + (c - '0');
  }
  return code;
}

bool StatusHasNoBody(int status) {
  return (status >= 100 && status < 200) || status == 204 || status == 304;
}

void AppendResponseHead(std::string& out, const char* status_text,
                        const char* block, bool connection_close) {
  std::string_view status = status_text == nullptr ? "200 OK" : status_text;
  static constexpr ByteSet kLineBreaks("\r\n");
  status = status.substr(0, kLineBreaks.FindIn(status));
  if (status.empty()) status = "200 OK";
  std::string_view lines = block == nullptr ? "" : block;
  out.append("HTTP/1.1 ");
  out.append(status);
  out.append(kCrLf);
  out.append(HttpDateLine());
  if (connection_close) out.append("Connection: close\r\n");
  out.append(lines);
  // The block ends with its empty line: "\r\n" alone, or "...\r\n\r\n".
  if (lines == kCrLf ||
      (lines.size() >= 4 && lines.substr(lines.size() - 4) == "\r\n\r\n")) {
    return;
  }
  if (lines.size() >= 2 && lines.substr(lines.size() - 2) == kCrLf) {
    out.append(kCrLf);
  } else if (lines.empty()) {
    out.append(kCrLf);
  } else {
    out.append("\r\n\r\n");
  }
}

}  // namespace pendrakel::server
