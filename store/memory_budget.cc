#include "store/memory_budget.h"

#include <cstdlib>

#include "base/debug_check.h"

namespace pendrakel {
namespace {

// Adds n to `figure` unless that passes `limit`. Written so that the sum
// cannot wrap: a figure that reaches the limit exactly is admitted.
bool AddWithin(std::atomic<uint64_t>& figure, uint64_t n, uint64_t limit) {
  uint64_t now = figure.load(std::memory_order_relaxed);
  do {
    if (n > limit || now > limit - n) return false;
  } while (
      !figure.compare_exchange_weak(now, now + n, std::memory_order_relaxed));
  return true;
}

}  // namespace

bool MemoryBudget::ChargeWithinMax(MemoryCost cost) {
  if (cost.valueBytes != 0 && !AddWithin(total_, cost.valueBytes, max_)) {
    return false;
  }
  const uint64_t limit = max_ > UINT64_MAX - kBookkeepingAllowanceBytes
                             ? UINT64_MAX
                             : max_ + kBookkeepingAllowanceBytes;
  if (!AddWithin(charged_, cost.valueBytes + cost.bookkeepingBytes, limit)) {
    if (cost.valueBytes != 0) Subtract(total_, cost.valueBytes);
    return false;
  }
  return true;
}

void* MemoryBudget::Allocate(uint64_t n, size_t uncharged) {
  if (n > SIZE_MAX - uncharged - 1) return nullptr;
  // Charged before the heap is asked, so that a store that is full refuses
  // without touching the heap; the charge goes back if the heap fails.
  const MemoryCost cost = BlockCost(n, uncharged);
  if (!Charge(cost)) return nullptr;
  void* block = std::malloc(n + uncharged == 0 ? 1 : n + uncharged);
  if (block == nullptr) GiveBack(cost);
  return block;
}

void MemoryBudget::GiveBack(void* block, uint64_t n, size_t uncharged) {
  if (block == nullptr) return;
  GiveBack(BlockCost(n, uncharged));
  std::free(block);
}

}  // namespace pendrakel
