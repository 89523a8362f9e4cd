// ValuesRef: one counted reference on a Values collection, owned by whoever
// holds the handle: a cookie table entry, the shared pointer, a request, a
// collector pass. Move-only: a handle is one count of the collection's
// refCount, and destroying or resetting it is the Release of that count; the
// last one destroys the collection, which gives its values' bytes back to
// its own budget.
//
// Thread safety: a handle is owned by one thread at a time, or guarded by
// the lock of the object that keeps it; handles on the same collection may
// live on different threads (the count is atomic).
#ifndef PENDRAKEL_STORE_VALUES_REF_H_
#define PENDRAKEL_STORE_VALUES_REF_H_

#include <cstddef>
#include <utility>

#include "store/values.h"

namespace pendrakel {

class ValuesRef {
 public:
  ValuesRef() = default;
  ValuesRef(ValuesRef&& other) noexcept
      : values_(std::exchange(other.values_, nullptr)) {}
  ValuesRef& operator=(ValuesRef&& other) noexcept {
    if (this != &other) {
      reset();
      values_ = std::exchange(other.values_, nullptr);
    }
    return *this;
  }
  ValuesRef(const ValuesRef&) = delete;
  ValuesRef& operator=(const ValuesRef&) = delete;
  ~ValuesRef() { reset(); }

  // A second handle on the same collection: one more count.
  ValuesRef Share() const {
    if (values_ != nullptr) values_->AddRef();
    return ValuesRef(values_);
  }
  // Releases the count, if any; the last one destroys the collection.
  void reset() {
    if (Values* values = std::exchange(values_, nullptr)) values->Release();
  }

  Values* get() const { return values_; }
  Values& operator*() const { return *values_; }
  Values* operator->() const { return values_; }
  explicit operator bool() const { return values_ != nullptr; }
  friend bool operator==(const ValuesRef& ref, std::nullptr_t) {
    return ref.values_ == nullptr;
  }

 private:
  friend class Values;  // Create hands out the first handle

  // Takes over one count the caller held.
  explicit ValuesRef(Values* values) : values_(values) {}

  Values* values_ = nullptr;
};

}  // namespace pendrakel

#endif  // PENDRAKEL_STORE_VALUES_REF_H_
