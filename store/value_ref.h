// ValueRef: a counted handle on a Value (store/counted_ref.h), owned by
// whoever holds it. The handle knows the MemoryBudget the value is charged
// to, so the last release gives the value's bytes back without the holder
// looking for the budget:
//
//   ValueRef::Adopt(value, {&budget})   takes over a count the caller held
//   ValueRef::Share(value, {&budget})   counts one more reference
//
// Thread safety: as CountedRef.
#ifndef PENDRAKEL_STORE_VALUE_REF_H_
#define PENDRAKEL_STORE_VALUE_REF_H_

#include "store/counted_ref.h"
#include "store/value.h"

namespace pendrakel {

class MemoryBudget;

// How a ValueRef counts: on the value's own RefCount; the last release
// gives the value's bytes back to `budget`.
struct ValueCounting {
  MemoryBudget* budget = nullptr;
  void AddRef(Value* value) const { value->refCount_.Add(); }
  void Release(Value* value) const { value->Release(*budget); }
};

}  // namespace pendrakel

#endif  // PENDRAKEL_STORE_VALUE_REF_H_
