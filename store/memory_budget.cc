#include "store/memory_budget.h"

#include <cstdlib>

namespace pendrakel {

void* MemoryBudget::Allocate(uint64_t n, size_t uncharged) {
  if (n > SIZE_MAX - uncharged - 1) return nullptr;
  MutexLock hold(lock_);
  const uint64_t total = total_.load(std::memory_order_relaxed);
  // Written so that total + n cannot wrap: a total that reaches max exactly
  // is admitted.
  if (max_ != 0 && (n > max_ || total > max_ - n)) return nullptr;
  // The heap call runs under the lock so that two allocations never both
  // pass the test against the same total.
  void* block = std::malloc(n + uncharged == 0 ? 1 : n + uncharged);
  if (block == nullptr) return nullptr;
  total_.store(total + n, std::memory_order_relaxed);
  return block;
}

void MemoryBudget::GiveBack(void* block, uint64_t n) {
  if (block == nullptr) return;
  {
    MutexLock hold(lock_);
    total_.store(total_.load(std::memory_order_relaxed) - n,
                 std::memory_order_relaxed);
  }
  std::free(block);
}

}  // namespace pendrakel
