// HeaderBlock: the response header block of one request, a fixed text
// buffer of kHeaderBlockBytes with a running count of the bytes written.
//
// Each line is appended whole or not at all: a line that would leave no room
// for the closing empty line and the terminator is refused, so the block is
// never overrun and Close always succeeds. Lives on the request's own stack;
// never shared between threads.
#ifndef PENDRAKEL_REQUEST_HEADER_BLOCK_H_
#define PENDRAKEL_REQUEST_HEADER_BLOCK_H_

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace pendrakel {

inline constexpr size_t kHeaderBlockBytes = 8192;

class HeaderBlock {
 public:
  HeaderBlock() { text_[0] = '\0'; }
  HeaderBlock(const HeaderBlock&) = delete;
  HeaderBlock& operator=(const HeaderBlock&) = delete;

  // Appends `line`, which ends in "\r\n". False, with nothing written, when
  // it does not fit.
  bool Append(std::string_view line) {
    if (line.size() > kHeaderBlockBytes - kClosingBytes - count_) return false;
    std::memcpy(text_ + count_, line.data(), line.size());
    count_ += line.size();
    text_[count_] = '\0';
    return true;
  }

  // Appends "name: value\r\n"; false, with nothing written, when it does not
  // fit.
  bool AppendField(std::string_view name, std::string_view value) {
    const size_t length = name.size() + 2 + value.size() + 2;
    if (length > kHeaderBlockBytes - kClosingBytes - count_) return false;
    char* out = text_ + count_;
    out = Put(out, name);
    out = Put(out, ": ");
    out = Put(out, value);
    out = Put(out, "\r\n");
    count_ += length;
    *out = '\0';
    return true;
  }

  // Appends "name: <number>\r\n" with the number in unsigned decimal.
  bool AppendNumber(std::string_view name, uint64_t number) {
    char digits[20];
    auto [end, ec] = std::to_chars(digits, digits + sizeof digits, number);
    (void)ec;  // 20 digits always hold a 64-bit number
    return AppendField(name, std::string_view(digits, end - digits));
  }

  // Writes the closing empty line; always fits.
  void Close() {
    std::memcpy(text_ + count_, "\r\n", 3);
    count_ += 2;
  }

  const char* text() const { return text_; }
  char* text() { return text_; }

 private:
  // "\r\n" of the closing line plus the terminating NUL.
  static constexpr size_t kClosingBytes = 3;

  static char* Put(char* out, std::string_view text) {
    std::memcpy(out, text.data(), text.size());
    return out + text.size();
  }

  size_t count_ = 0;
  char text_[kHeaderBlockBytes];
};

}  // namespace pendrakel

#endif  // PENDRAKEL_REQUEST_HEADER_BLOCK_H_
