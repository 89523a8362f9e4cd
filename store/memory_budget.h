// MemoryBudget: the one account of the bytes held by the data blocks of all
// stored values, with an optional upper limit.
//
// Every value's block is obtained with Allocate and returned with GiveBack,
// charged and given back with the same byte count (the value's data size;
// the record around the data is not charged), so `total` is always the sum
// of the data sizes of the blocks handed out and returns to 0 when none is
// held.
//
// Thread safety (store/README.md): Allocate and GiveBack may be called from
// any thread and take no lock: `total_` changes only by atomic
// read-modify-write, and a charge is one compare-and-swap of the total it
// was tested against, so two allocations never both pass the test against
// the same total. SetMax is called only during start-up, before any
// request.
#ifndef PENDRAKEL_STORE_MEMORY_BUDGET_H_
#define PENDRAKEL_STORE_MEMORY_BUDGET_H_

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace pendrakel {

class MemoryBudget {
 public:
  MemoryBudget() = default;
  MemoryBudget(const MemoryBudget&) = delete;
  MemoryBudget& operator=(const MemoryBudget&) = delete;

  // A block of n + `uncharged` bytes of which n are charged to the budget, or
  // nullptr when the limit would be passed or the heap is exhausted (total
  // is then unchanged; while the heap is being asked, the total includes n). A
  // request for 0 bytes yields a valid, distinct block charged 0 bytes.
  void* Allocate(uint64_t n, size_t uncharged = 0);

  // Returns a block from Allocate with the n bytes it was charged. A null
  // block does nothing. REQUIRES: n is what the block was charged.
  void GiveBack(void* block, uint64_t n);

  // The limit in bytes; 0 means no limit. REQUIRES: start-up, before any
  // request.
  void SetMax(uint64_t max) { max_ = max; }
  uint64_t max() const { return max_; }

  // Bytes currently charged (the STAT report).
  uint64_t total() const { return total_.load(std::memory_order_relaxed); }

 private:
  // Adds n to the total unless that would pass the limit.
  bool Charge(uint64_t n);

  // Relaxed order is enough: the total orders nothing but itself.
  std::atomic<uint64_t> total_{0};
  // Written only during start-up, before other threads read it.
  uint64_t max_ = 0;
};

}  // namespace pendrakel

#endif  // PENDRAKEL_STORE_MEMORY_BUDGET_H_
