#include "request/guid.h"

#include <sys/random.h>

#include <cerrno>
#include <cstring>

namespace pendrakel {
namespace {

bool FillRandom(unsigned char* out, size_t length) {
  while (length > 0) {
    ssize_t got = getrandom(out, length, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    out += got;
    length -= static_cast<size_t>(got);
  }
  return true;
}

void PutHex(char*& out, uint32_t value, int digits) {
  static constexpr char kHex[] = "0123456789abcdef";
  for (int i = digits - 1; i >= 0; --i) *out++ = kHex[(value >> (4 * i)) & 0xf];
}

}  // namespace

bool RandomGuid(Guid* guid) {
  unsigned char bytes[sizeof(Guid)];
  if (!FillRandom(bytes, sizeof bytes)) return false;
  std::memcpy(guid, bytes, sizeof bytes);
  guid->Data3 = static_cast<uint16_t>((guid->Data3 & 0x0fff) | 0x4000);
  guid->Data4[0] = static_cast<uint8_t>((guid->Data4[0] & 0x3f) | 0x80);
  return true;
}

void FormatGuidDigits(const Guid& guid, char out[32]) {
  PutHex(out, guid.Data1, 8);
  PutHex(out, guid.Data2, 4);
  PutHex(out, guid.Data3, 4);
  for (uint8_t byte : guid.Data4) PutHex(out, byte, 2);
}

}  // namespace pendrakel
