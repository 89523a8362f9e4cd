// What the heap really takes for a block: the fixed costs the memory budget
// charges for the store's records and indexes are worked out from it.
//
// glibc's malloc puts an 8-byte header in front of each block and rounds
// the two up to 16 bytes, 32 at least; a block of kMappedBlockBytes or more
// gets pages of its own (the default threshold; the heap may raise it, and
// then takes less than this says). Pure functions; any thread.
#ifndef PENDRAKEL_STORE_HEAP_BLOCK_H_
#define PENDRAKEL_STORE_HEAP_BLOCK_H_

#include <cstdint>

namespace pendrakel {

inline constexpr uint64_t kHeapHeaderBytes = 8;
inline constexpr uint64_t kHeapAlignmentBytes = 16;
inline constexpr uint64_t kSmallestHeapBlockBytes = 32;
inline constexpr uint64_t kMappedBlockBytes = uint64_t{128} << 10;
inline constexpr uint64_t kPageBytes = 4096;

constexpr uint64_t RoundUp(uint64_t n, uint64_t unit) {
  return (n + unit - 1) / unit * unit;
}

// The bytes the heap holds for a block of `n` bytes.
constexpr uint64_t HeapBlockBytes(uint64_t n) {
  if (n + kHeapHeaderBytes >= kMappedBlockBytes) {
    return RoundUp(n + kHeapHeaderBytes, kPageBytes);
  }
  const uint64_t block = RoundUp(n + kHeapHeaderBytes, kHeapAlignmentBytes);
  return block < kSmallestHeapBlockBytes ? kSmallestHeapBlockBytes : block;
}

}  // namespace pendrakel

#endif  // PENDRAKEL_STORE_HEAP_BLOCK_H_
