// CountedRef: one counted reference on a shared store record, owned by
// whoever holds the handle. ValueRef (store/value_ref.h) and ValuesRef
// (store/values_ref.h) are its two kinds.
//
// A handle is one count of the record's RefCount; destroying or resetting
// it is the release of that count, and the last release destroys the
// record. Move-only. The words are the same for every kind:
//   Adopt(record)   takes over a count its caller held (a creation, an
//                   index entry leaving its index);
//   Share(record)   counts one more reference on a record the caller can
//                   reach safely (under the lock of what keeps it);
//   handle.Share()  a second handle on the same record;
//   handle.Detach() hands the count to the caller (an index entry), leaving
//                   the handle empty;
//   handle.reset()  releases the count.
//
// `Counting` says how a kind counts: AddRef(record) and Release(record);
// it may carry what a release needs (a Value's budget), copied with the
// handle.
//
// Thread safety: a handle is owned by one thread at a time, or guarded by
// the lock of the object that keeps it; handles on the same record may live
// on different threads (the count is atomic).
#ifndef PENDRAKEL_STORE_COUNTED_REF_H_
#define PENDRAKEL_STORE_COUNTED_REF_H_

#include <cstddef>
#include <utility>

namespace pendrakel {

template <typename T, typename Counting>
class CountedRef {
 public:
  CountedRef() = default;
  // REQUIRES: the caller owns one count on `record` (or it is null).
  static CountedRef Adopt(T* record, Counting counting = Counting()) {
    return CountedRef(record, counting);
  }
  // REQUIRES: `record` holds a reference that cannot go meanwhile.
  static CountedRef Share(T* record, Counting counting = Counting()) {
    if (record != nullptr) counting.AddRef(record);
    return CountedRef(record, counting);
  }
  CountedRef(CountedRef&& other) noexcept
      : record_(std::exchange(other.record_, nullptr)),
        counting_(other.counting_) {}
  CountedRef& operator=(CountedRef&& other) noexcept {
    if (this != &other) {
      reset();
      record_ = std::exchange(other.record_, nullptr);
      counting_ = other.counting_;
    }
    return *this;
  }
  CountedRef(const CountedRef&) = delete;
  CountedRef& operator=(const CountedRef&) = delete;
  ~CountedRef() { reset(); }

  CountedRef Share() const { return Share(record_, counting_); }
  T* Detach() { return std::exchange(record_, nullptr); }
  void reset() {
    if (T* record = std::exchange(record_, nullptr)) counting_.Release(record);
  }

  T* get() const { return record_; }
  T& operator*() const { return *record_; }
  T* operator->() const { return record_; }
  explicit operator bool() const { return record_ != nullptr; }
  friend bool operator==(const CountedRef& ref, std::nullptr_t) {
    return ref.record_ == nullptr;
  }

 private:
  CountedRef(T* record, Counting counting)
      : record_(record), counting_(counting) {}

  T* record_ = nullptr;
  [[no_unique_address]] Counting counting_;
};

}  // namespace pendrakel

#endif  // PENDRAKEL_STORE_COUNTED_REF_H_
