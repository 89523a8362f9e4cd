#include "server/http/percent_decode.h"

namespace pendrakel::server {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

DecodeResult PercentDecode(std::string_view in, std::string& out) {
  size_t i = 0;
  while (i < in.size()) {
    const size_t percent = in.find('%', i);
    if (percent == std::string_view::npos) {
      out.append(in.substr(i));
      return DecodeResult::kOk;
    }
    out.append(in.substr(i, percent - i));
    if (percent + 2 >= in.size()) return DecodeResult::kMalformedEscape;
    const int high = HexValue(in[percent + 1]);
    const int low = HexValue(in[percent + 2]);
    if (high < 0 || low < 0) return DecodeResult::kMalformedEscape;
    const int byte = high * 16 + low;
    if (byte == 0) return DecodeResult::kNulByte;
    out.push_back(static_cast<char>(byte));
    i = percent + 3;
  }
  return DecodeResult::kOk;
}

}  // namespace pendrakel::server
