// RefCount: the reference count of a shared store record (a Value, a
// Values), changed only by atomic read-modify-write. A record starts with
// one reference, its creator's; whoever drops the last one destroys it.
//
// Only the record's counted handles (store/counted_ref.h) touch it. Debug
// builds check that no count is taken on, or dropped from, a record whose
// last reference is gone.
#ifndef PENDRAKEL_STORE_REF_COUNT_H_
#define PENDRAKEL_STORE_REF_COUNT_H_

#include <atomic>
#include <cstdint>

#include "base/debug_check.h"

namespace pendrakel {

class RefCount {
 public:
  RefCount() = default;
  RefCount(const RefCount&) = delete;
  RefCount& operator=(const RefCount&) = delete;

  // One more reference. REQUIRES: the caller holds one already.
  void Add() {
    [[maybe_unused]] const int32_t before =
        count_.fetch_add(1, std::memory_order_relaxed);
    PK_DCHECK(before > 0);
  }
  // Drops one reference; true when it was the last. acq_rel: the thread
  // that destroys the record sees every write of the other holders.
  // REQUIRES: the caller holds a reference.
  bool Drop() {
    const int32_t before = count_.fetch_sub(1, std::memory_order_acq_rel);
    PK_DCHECK(before > 0);
    return before == 1;
  }

 private:
  std::atomic<int32_t> count_{1};
};

}  // namespace pendrakel

#endif  // PENDRAKEL_STORE_REF_COUNT_H_
