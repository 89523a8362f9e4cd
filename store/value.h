// Value: one stored value, an immutable block of bytes under a name, with
// the content type it was stored with, an optional expiry time and a
// reference count.
//
// Layout: one heap block holds the record, then the name, the content type
// and the data, so a stored value costs one allocation. The block comes from
// the MemoryBudget: the data's size is charged as value bytes, the rest of
// the heap block as bookkeeping.
//
// Ownership: every holder owns one reference: the entry of a Values (owned
// by the collection), each request reading or storing it, a collector pass
// that has unlinked it; all but the entries hold theirs as a ValueRef
// (store/value_ref.h), the only code that changes the count. The holder whose
// release brings the count to zero destroys the record and gives its bytes
// back to the budget.
//
// Thread safety: refCount_ changes only by atomic read-modify-write. The
// data is filled by the creating request before the Value is stored
// (Values::Put); everything is only read, without a lock, afterwards.
#ifndef PENDRAKEL_STORE_VALUE_H_
#define PENDRAKEL_STORE_VALUE_H_

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "store/counted_ref.h"
#include "store/ref_count.h"

namespace pendrakel {

class MemoryBudget;
class Value;
struct ValueCounting;
// A counted handle on a Value (store/value_ref.h).
using ValueRef = CountedRef<Value, ValueCounting>;

// Longest name and content type a value can carry: their lengths are
// 32-bit counts.
inline constexpr size_t kMaxValueNameBytes = UINT32_MAX;
inline constexpr size_t kMaxContentTypeBytes = UINT32_MAX;

// Bytes of a value's address that an index entry keeps (store/values.h),
// the low ones of a little-endian address. The user space of an x86-64 or
// AArch64 process lies below 2^48 unless it asks the kernel for higher
// addresses, which nothing here does; Create checks it all the same.
inline constexpr size_t kEntryBytes = 6;
static_assert(std::endian::native == std::endian::little);

class Value {
 public:
  Value(const Value&) = delete;
  Value& operator=(const Value&) = delete;

  // A new record with room for `size` data bytes, charged to `budget`, and
  // the creator's handle on it; `expiry` is 0 for a value that never
  // expires. An empty handle when the budget refuses, the heap is exhausted
  // or gives a block too high for an index entry, or the name or content
  // type is longer than a value can carry.
  static ValueRef Create(std::string_view name, std::string_view contentType,
                         uint32_t size, int64_t expiry, MemoryBudget& budget);

  // Whether a record at `block` can be entered in an index.
  static bool FitsEntry(const void* block) {
    return reinterpret_cast<uintptr_t>(block) >> (8 * kEntryBytes) == 0;
  }

  // Live at `now` when it never expires or now < expiry.
  bool IsLive(int64_t now) const {
    const int64_t expiry = this->expiry();
    return expiry == 0 || now < expiry;
  }

  int64_t expiry() const {
    int64_t expiry;
    std::memcpy(&expiry, expiry_, sizeof expiry);
    return expiry;
  }
  uint32_t size() const { return size_; }
  std::string_view name() const { return {texts(), nameLength()}; }
  std::string_view contentType() const {
    return {texts() + nameLength(), contentTypeLength()};
  }
  // The data, written by the creator only. REQUIRES: the value is not
  // stored yet (Values::Put); afterwards it is only read.
  unsigned char* data() {
    return reinterpret_cast<unsigned char*>(texts()) + nameLength() +
           contentTypeLength();
  }
  const unsigned char* data() const { return const_cast<Value*>(this)->data(); }

 private:
  friend struct ValueCounting;  // the only code that changes refCount_

  // Drops one reference; the last one destroys the record and gives its
  // bytes back to `budget`. REQUIRES: `budget` is the one it was charged to.
  void Release(MemoryBudget& budget);

  // The record's two 16-bit lengths hold this when the name or the content
  // type is this long or longer: both lengths are then kept as 32-bit
  // counts at the front of the trailer, so the common record stays small.
  static constexpr uint16_t kLongLengths = UINT16_MAX;

  // Bytes of the block besides the data: the record, the long lengths when
  // there are, the name and the content type.
  static size_t RecordBytes(size_t nameLength, size_t contentTypeLength) {
    const bool longLengths =
        nameLength >= kLongLengths || contentTypeLength >= kLongLengths;
    return sizeof(Value) + (longLengths ? 2 * sizeof(uint32_t) : 0) +
           nameLength + contentTypeLength;
  }

  Value(uint32_t size, int64_t expiry, uint16_t nameLength,
        uint16_t contentTypeLength);
  ~Value() = default;

  char* trailer() const {
    return reinterpret_cast<char*>(const_cast<Value*>(this) + 1);
  }
  bool HasLongLengths() const { return nameLength_ == kLongLengths; }
  uint32_t LongLength(size_t which) const {
    uint32_t length;
    std::memcpy(&length, trailer() + which * sizeof length, sizeof length);
    return length;
  }
  uint32_t nameLength() const {
    return HasLongLengths() ? LongLength(0) : nameLength_;
  }
  uint32_t contentTypeLength() const {
    return HasLongLengths() ? LongLength(1) : contentTypeLength_;
  }
  // The name, then the content type, then the data.
  char* texts() const {
    return trailer() + (HasLongLengths() ? 2 * sizeof(uint32_t) : 0);
  }

  RefCount refCount_;
  const uint32_t size_;        // bytes of data
  unsigned char expiry_[8];    // int64 seconds since the epoch; 0 = never
  const uint16_t nameLength_;  // bytes of name, or kLongLengths
  const uint16_t contentTypeLength_;  // bytes of content type, or the same
  // Followed by the two long lengths when kLongLengths, then the name, the
  // content type and the data.
};

// Kept packed: every stored value pays for this record.
static_assert(sizeof(Value) == 20);

}  // namespace pendrakel

#endif  // PENDRAKEL_STORE_VALUE_H_
