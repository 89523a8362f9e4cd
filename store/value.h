// Value: one stored value, an immutable block of bytes with the content type
// it was stored with, an optional expiry time and a reference count.
//
// Ownership: every holder owns one reference: the map entry of a Values, each
// request reading or storing it, a collector pass that has unlinked it. The
// holder whose Release brings the count to zero destroys the record, giving
// its data block back to the MemoryBudget it was charged to.
//
// Thread safety: refCount_ changes only by atomic read-modify-write. All other
// fields are written by the creating request before the Value is stored
// (Values::Put) and only read, without a lock, afterwards.
//
// Layout: one heap record holds the header and, right after it, the content
// type; the data block is separate and charged to the MemoryBudget.
#ifndef PENDRAKEL_STORE_VALUE_H_
#define PENDRAKEL_STORE_VALUE_H_

#include <atomic>
#include <cstdint>
#include <string_view>

namespace pendrakel {

class MemoryBudget;

class Value {
 public:
  Value(const Value&) = delete;
  Value& operator=(const Value&) = delete;

  // A new record with refCount 1 and no data, or nullptr when memory for the
  // record cannot be had. `expiry` is 0 for a value that never expires.
  static Value* Create(uint32_t size, std::string_view contentType,
                       int64_t expiry);

  // Charges `size` bytes to `budget` and attaches the block. False when the
  // budget refuses; the Value then has no data.
  bool AttachData(MemoryBudget& budget);

  void AddRef() { refCount_.fetch_add(1, std::memory_order_relaxed); }
  // Drops one reference; the last one destroys the record.
  void Release(MemoryBudget& budget);
  // Destroys a record that only its creator holds (it was never stored).
  void Destroy(MemoryBudget& budget);

  // Live at `now` when it never expires or now < expiry.
  bool IsLive(int64_t now) const { return expiry_ == 0 || now < expiry_; }

  uint32_t size() const { return size_; }
  int64_t expiry() const { return expiry_; }
  unsigned char* data() { return data_; }
  const unsigned char* data() const { return data_; }
  std::string_view contentType() const {
    return {reinterpret_cast<const char*>(this + 1), contentTypeLength_};
  }
  int32_t refCountForTesting() const {
    return refCount_.load(std::memory_order_relaxed);
  }

 private:
  Value(uint32_t size, uint32_t contentTypeLength, int64_t expiry)
      : size_(size), contentTypeLength_(contentTypeLength), expiry_(expiry) {}
  ~Value() = default;

  std::atomic<int32_t> refCount_{1};
  const uint32_t size_;               // bytes of data
  const uint32_t contentTypeLength_;  // bytes of content type after *this
  const int64_t expiry_;              // seconds since the epoch; 0 = never
  unsigned char* data_ = nullptr;     // `size_` bytes charged to a budget
};

}  // namespace pendrakel

#endif  // PENDRAKEL_STORE_VALUE_H_
