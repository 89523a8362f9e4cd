// InputReader: hands out a fuzz input front to back as small decisions
// (bytes, bounded texts). An exhausted input reads as zero bytes, so every
// input decodes to something and decoding always ends.
//
// One reader per input, used by one thread; it only borrows the input bytes.
#ifndef PENDRAKEL_FUZZ_INPUT_READER_H_
#define PENDRAKEL_FUZZ_INPUT_READER_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

namespace pendrakel::fuzz {

class InputReader {
 public:
  InputReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool empty() const { return offset_ >= size_; }

  // The next byte, or 0 when the input is used up.
  uint8_t Byte() { return empty() ? 0 : data_[offset_++]; }

  // Up to `count` raw bytes (fewer at the end of the input).
  std::string Bytes(size_t count) {
    const size_t take = std::min(count, size_ - std::min(offset_, size_));
    std::string bytes(reinterpret_cast<const char*>(data_ + offset_), take);
    offset_ += take;
    return bytes;
  }

  // A length byte (taken modulo maxLength + 1), then that many bytes.
  std::string Text(size_t maxLength) { return Bytes(Byte() % (maxLength + 1)); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t offset_ = 0;
};

}  // namespace pendrakel::fuzz

#endif  // PENDRAKEL_FUZZ_INPUT_READER_H_
