#include "store/memory_budget.h"

#include <cstdlib>

#include "base/debug_check.h"

namespace pendrakel {

void* MemoryBudget::Allocate(uint64_t n, size_t uncharged) {
  if (n > SIZE_MAX - uncharged - 1) return nullptr;
  // Charged before the heap is asked, so that a store that is full refuses
  // without touching the heap; the charge goes back if the heap fails.
  if (!Charge(n)) return nullptr;
  void* block = std::malloc(n + uncharged == 0 ? 1 : n + uncharged);
  if (block == nullptr) total_.fetch_sub(n, std::memory_order_relaxed);
  return block;
}

bool MemoryBudget::Charge(uint64_t n) {
  uint64_t total = total_.load(std::memory_order_relaxed);
  do {
    // Written so that total + n cannot wrap: a total that reaches max
    // exactly is admitted.
    if (max_ != 0 && (n > max_ || total > max_ - n)) return false;
  } while (!total_.compare_exchange_weak(total, total + n,
                                         std::memory_order_relaxed));
  return true;
}

void MemoryBudget::GiveBack(void* block, uint64_t n) {
  if (block == nullptr) return;
  [[maybe_unused]] const uint64_t before =
      total_.fetch_sub(n, std::memory_order_relaxed);
  PK_DCHECK(before >= n);  // never more back than was charged
  std::free(block);
}

}  // namespace pendrakel
