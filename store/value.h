// Value: one stored value, an immutable block of bytes under a name, with
// the content type it was stored with, an optional expiry time and a
// reference count.
//
// Layout: one heap block holds the record, then the name, the content type
// and the data, so a stored value costs one allocation. The block comes from
// the MemoryBudget, charged with the data's size only.
//
// Ownership: every holder owns one reference: the entry of a Values (owned
// by the collection), each request reading or storing it, a collector pass
// that has unlinked it; all but the entries hold theirs as a ValueRef
// (store/value_ref.h), the only code that changes the count. The holder whose
// Release brings the count to zero destroys the record and gives its bytes
// back to the budget.
//
// Thread safety: refCount_ changes only by atomic read-modify-write. The
// data is filled by the creating request before the Value is stored
// (Values::Put); everything is only read, without a lock, afterwards.
#ifndef PENDRAKEL_STORE_VALUE_H_
#define PENDRAKEL_STORE_VALUE_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace pendrakel {

class MemoryBudget;
class ValueRef;

// Longest name and content type a value can carry: their lengths are kept
// as 32-bit counts.
inline constexpr size_t kMaxValueNameBytes = UINT32_MAX;
inline constexpr size_t kMaxContentTypeBytes = UINT32_MAX;

class Value {
 public:
  Value(const Value&) = delete;
  Value& operator=(const Value&) = delete;

  // A new record with room for `size` data bytes, charged to `budget`, and
  // the creator's handle on it; `expiry` is 0 for a value that never
  // expires. An empty handle when the budget refuses, the heap is exhausted,
  // or the name or content type is longer than a value can carry.
  static ValueRef Create(std::string_view name, std::string_view contentType,
                         uint32_t size, int64_t expiry, MemoryBudget& budget);

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
  std::string_view name() const { return {trailer(), nameLength_}; }
  std::string_view contentType() const {
    return {trailer() + nameLength_, contentTypeLength_};
  }
  unsigned char* data() {
    return reinterpret_cast<unsigned char*>(trailer()) + nameLength_ +
           contentTypeLength_;
  }
  const unsigned char* data() const { return const_cast<Value*>(this)->data(); }

 private:
  friend class ValueRef;

  void AddRef() { refCount_.fetch_add(1, std::memory_order_relaxed); }
  // Drops one reference; the last one destroys the record.
  void Release(MemoryBudget& budget);

  Value(uint32_t size, int64_t expiry, uint32_t nameLength,
        uint32_t contentTypeLength);
  ~Value() = default;

  char* trailer() const {
    return reinterpret_cast<char*>(const_cast<Value*>(this) + 1);
  }

  std::atomic<int32_t> refCount_{1};
  const uint32_t size_;        // bytes of data
  unsigned char expiry_[8];    // int64 seconds since the epoch; 0 = never
  const uint32_t nameLength_;  // bytes of name after the record
  const uint32_t contentTypeLength_;  // bytes of content type after the name
  // Followed by the name, the content type and the data.
};

// Kept packed: every stored value pays for this record.
static_assert(sizeof(Value) == 24);

}  // namespace pendrakel

#endif  // PENDRAKEL_STORE_VALUE_H_
