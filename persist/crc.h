// The checksum of every file header and record: zlib's CRC-32.
#ifndef PENDRAKEL_PERSIST_CRC_H_
#define PENDRAKEL_PERSIST_CRC_H_

#include <zlib.h>

#include <cstddef>
#include <cstdint>

namespace pendrakel {

// The CRC-32 of `size` bytes at `data`, continuing from `crc` (0 to start).
inline uint32_t Crc32(const void* data, size_t size, uint32_t crc = 0) {
  // zlib answers a null buffer with the initial value, not with `crc`.
  if (size == 0) return crc;
  return static_cast<uint32_t>(
      crc32_z(crc, static_cast<const Bytef*>(data), size));
}

}  // namespace pendrakel

#endif  // PENDRAKEL_PERSIST_CRC_H_
