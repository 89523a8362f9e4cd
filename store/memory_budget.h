// MemoryBudget: the one account of the memory the store keeps for its
// clients, with an optional maximum.
//
// It keeps two figures. The value bytes are the data of every stored value:
// what the STAT report shows as X-Memory-Total. Everything charged is the
// value bytes plus the bookkeeping around them: each value's record with its
// name and content type, each collection, each cookie entry with its cookie
// text, and the slots of every index, each at what the heap really takes for
// it (store/heap_block.h). Whatever a client can make the store keep is
// charged before it is made.
//
// With a maximum M, a charge is refused when it would take the value bytes
// past M (to the byte, as before bookkeeping was counted), or everything
// charged past M + kBookkeepingAllowanceBytes. So however a client loads
// the store (long names, long cookies, many collections, empty values), the
// memory it keeps stays within M + kBookkeepingAllowanceBytes.
//
// Accounting: Charge is the one place that adds to the figures and GiveBack
// the one that takes away; every record gives back exactly the MemoryCost
// it was charged, worked out again from the record, so both figures return
// to 0 when the store is empty. Debug builds check that no give-back takes
// either below zero, and that nothing is left charged when the budget goes.
//
// Thread safety (store/README.md): Charge, GiveBack and the blocks may be
// used from any thread and take no lock: each figure changes only by atomic
// read-modify-write, and a charge is a compare-and-swap of the figure it was
// tested against, so two charges never both pass against the same figure.
// SetMax is called only during start-up, before any request.
#ifndef PENDRAKEL_STORE_MEMORY_BUDGET_H_
#define PENDRAKEL_STORE_MEMORY_BUDGET_H_

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "base/debug_check.h"
#include "store/heap_block.h"

namespace pendrakel {

// Bookkeeping a maximum admits beyond the value bytes: room for the records
// of a small store (the shared collection alone takes a few hundred bytes),
// so that a maximum still bounds the value bytes exactly as the STAT report
// shows them.
inline constexpr uint64_t kBookkeepingAllowanceBytes = uint64_t{1} << 20;

// What one record of the store costs.
struct MemoryCost {
  uint64_t valueBytes = 0;        // stored data (X-Memory-Total)
  uint64_t bookkeepingBytes = 0;  // the record and indexes around it
};

class MemoryBudget {
 public:
  MemoryBudget() = default;
  // REQUIRES: everything charged has been given back.
  ~MemoryBudget() {
    PK_DCHECK(total() == 0);
    PK_DCHECK(charged() == 0);
  }
  MemoryBudget(const MemoryBudget&) = delete;
  MemoryBudget& operator=(const MemoryBudget&) = delete;

  // Charges `cost`; false, with nothing charged, when the maximum would be
  // passed.
  bool Charge(MemoryCost cost) {
    if (max_ != 0) return ChargeWithinMax(cost);
    if (cost.valueBytes != 0) {
      total_.fetch_add(cost.valueBytes, std::memory_order_relaxed);
    }
    charged_.fetch_add(cost.valueBytes + cost.bookkeepingBytes,
                       std::memory_order_relaxed);
    return true;
  }
  // REQUIRES: `cost` is what one earlier Charge took.
  void GiveBack(MemoryCost cost) {
    if (cost.valueBytes != 0) Subtract(total_, cost.valueBytes);
    Subtract(charged_, cost.valueBytes + cost.bookkeepingBytes);
  }

  // A block of n + `uncharged` bytes from the heap, charged n value bytes
  // and the rest of the heap block as bookkeeping; nullptr when the
  // maximum would be passed or the heap is exhausted (nothing is charged
  // then; while the heap is being asked, the charge is counted). A request
  // for 0 bytes yields a valid, distinct block with no value bytes.
  void* Allocate(uint64_t n, size_t uncharged = 0);
  // Returns a block from Allocate. A null block does nothing. REQUIRES: n
  // and `uncharged` are what the block was allocated with.
  void GiveBack(void* block, uint64_t n, size_t uncharged = 0);
  // What Allocate(n, uncharged) charges.
  static MemoryCost BlockCost(uint64_t n, size_t uncharged) {
    return {n, HeapBlockBytes(n + uncharged) - n};
  }

  // The maximum in bytes; 0 means no limit. REQUIRES: start-up, before any
  // request.
  void SetMax(uint64_t max) { max_ = max; }
  uint64_t max() const { return max_; }

  // Value bytes currently charged (the STAT report).
  uint64_t total() const { return total_.load(std::memory_order_relaxed); }
  // Value bytes and bookkeeping currently charged.
  uint64_t charged() const { return charged_.load(std::memory_order_relaxed); }

 private:
  // Relaxed order is enough: the figures order nothing but themselves. They
  // share a cache line: a value's charge changes both.
  bool ChargeWithinMax(MemoryCost cost);
  static void Subtract(std::atomic<uint64_t>& figure, uint64_t n) {
    [[maybe_unused]] const uint64_t before =
        figure.fetch_sub(n, std::memory_order_relaxed);
    PK_DCHECK(before >= n);  // never more back than was charged
  }

  std::atomic<uint64_t> total_{0};
  std::atomic<uint64_t> charged_{0};
  // Written only during start-up, before other threads read it.
  uint64_t max_ = 0;
};

}  // namespace pendrakel

#endif  // PENDRAKEL_STORE_MEMORY_BUDGET_H_
