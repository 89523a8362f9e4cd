// ValueRef: one counted reference on a Value, owned by whoever holds the
// handle. Move-only: a handle is one count of the value's refCount, and
// destroying or resetting it is the Release of that count. The handle knows
// the MemoryBudget the value is charged to, so the last Release gives the
// value's bytes back without the holder looking for the budget.
//
// Thread safety: a handle is owned by one thread at a time; handles on the
// same value may live on different threads (the count is atomic).
#ifndef PENDRAKEL_STORE_VALUE_REF_H_
#define PENDRAKEL_STORE_VALUE_REF_H_

#include <cstddef>
#include <utility>

#include "store/value.h"

namespace pendrakel {

class MemoryBudget;

class ValueRef {
 public:
  // Tags of the two ways to make a handle on a value charged to `budget`.
  struct Adopt {};  // takes over one count the caller held
  struct Share {};  // counts one more reference

  ValueRef() = default;
  ValueRef(Adopt, Value* value, MemoryBudget& budget) noexcept
      : value_(value), budget_(&budget) {}
  ValueRef(Share, Value* value, MemoryBudget& budget) noexcept
      : value_(value), budget_(&budget) {
    value_->AddRef();
  }
  ValueRef(ValueRef&& other) noexcept
      : value_(std::exchange(other.value_, nullptr)), budget_(other.budget_) {}
  ValueRef& operator=(ValueRef&& other) noexcept {
    if (this != &other) {
      reset();
      value_ = std::exchange(other.value_, nullptr);
      budget_ = other.budget_;
    }
    return *this;
  }
  ValueRef(const ValueRef&) = delete;
  ValueRef& operator=(const ValueRef&) = delete;
  ~ValueRef() { reset(); }

  // A second handle on the same value: one more count.
  ValueRef Shared() const {
    return value_ == nullptr ? ValueRef() : ValueRef(Share{}, value_, *budget_);
  }
  // Hands the count to the caller, who now owns it (a collection's entry);
  // the handle is left empty.
  Value* Detach() { return std::exchange(value_, nullptr); }
  // Releases the count, if any; the last one destroys the value.
  void reset() {
    if (Value* value = std::exchange(value_, nullptr)) value->Release(*budget_);
  }

  Value* get() const { return value_; }
  Value& operator*() const { return *value_; }
  Value* operator->() const { return value_; }
  explicit operator bool() const { return value_ != nullptr; }
  friend bool operator==(const ValueRef& ref, std::nullptr_t) {
    return ref.value_ == nullptr;
  }

 private:
  Value* value_ = nullptr;
  MemoryBudget* budget_ = nullptr;
};

}  // namespace pendrakel

#endif  // PENDRAKEL_STORE_VALUE_REF_H_
