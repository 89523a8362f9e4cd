// FlatIndex: an index of the store (an absl flat hash set or map) that
// never grows in place, with its slots charged to the memory budget.
//
// absl's flat tables grow in place once the slots in use, erased ones
// included, reach 7/8 of their capacity, and an allocation that fails half
// way through that growth leaves the table broken. So an index of the store
// is only inserted into after MakeRoomForOne: when the next insert could
// make the table grow, a bigger one is built beside it (its bytes charged
// to the budget first), the entries are moved over and it is swapped in; a
// failure leaves the old one whole. Moving an entry copies its slot and
// hashes it: keep what the hash needs in the slot, or cheap to reach.
//
// A growth into a block the heap maps on its own (kMappedBlockBytes or
// more) that the heap refuses is not tried again until an entry has been
// erased or kGrowthRetryAfter has passed: until then an insert that needs
// it is refused at once, at no cost. A smaller growth is retried every
// time, which costs no more than the heap's free lists.
//
// Ownership: the owner (a collection, the cookie table) keeps the
// FlatIndex, frees it with Free and releases what its entries own itself.
// Thread safety: none of its own; the owner's lock guards it whole.
#ifndef PENDRAKEL_STORE_FLAT_INDEX_H_
#define PENDRAKEL_STORE_FLAT_INDEX_H_

#include <bit>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <new>

#include "base/debug_check.h"
#include "store/heap_block.h"
#include "store/memory_budget.h"

namespace pendrakel {

// How long a refused large growth is not tried again.
inline constexpr std::chrono::milliseconds kGrowthRetryAfter{100};
// Most slots an index grows to (2^31 - 1, over 16 GiB of slots): its counts
// then fit 32 bits, which keeps every collection's record small.
inline constexpr size_t kMaxIndexSlots = (size_t{1} << 31) - 1;

// Control bytes absl keeps beyond one per slot: a sentinel and the group of
// 15 cloned at the end.
inline constexpr size_t kIndexExtraControlBytes = 16;

template <typename Set>
class FlatIndex {
 public:
  FlatIndex() = default;
  // REQUIRES: Free has been called.
  ~FlatIndex() { PK_DCHECK(set_.capacity() == 0); }
  FlatIndex(const FlatIndex&) = delete;
  FlatIndex& operator=(const FlatIndex&) = delete;

  Set& set() { return set_; }
  const Set& set() const { return set_; }

  // Whether the next insert of a new key finds a free slot without the
  // table growing in place.
  bool HasRoomForOne() const {
    const size_t capacity = set_.capacity();
    return set_.size() + erased_ + 2 <= capacity - capacity / 8;
  }
  // Makes sure it does. False, with the index unchanged, when the budget
  // refuses the bigger table or the heap has no room for it.
  bool MakeRoomForOne(MemoryBudget& budget) {
    if (HasRoomForOne()) return true;
    // Twice the entries: the inserts that follow are far from the next
    // growth.
    const size_t capacity = std::bit_ceil(2 * set_.size() + 5) - 1;
    if (capacity > kMaxIndexSlots) return false;
    return Rebuild(capacity, budget);
  }

  // Erases the entry at `it`; whatever it owns is the caller's. Its slot
  // counts as used until the next growth.
  void Erase(typename Set::iterator it) {
    set_.erase(it);
    ++erased_;
    retryAtMs_ = 0;  // a rebuild may now fit where a growth did not
  }

  // Frees the table and gives its bytes back; the index is empty after.
  // REQUIRES: what the entries own has been released.
  void Free(MemoryBudget& budget) {
    budget.GiveBack(Cost(set_.capacity()));
    Set().swap(set_);
    erased_ = 0;
  }

  // What a table of `capacity` slots costs: its control bytes and slots,
  // as the heap holds them.
  static MemoryCost Cost(size_t capacity) {
    if (capacity == 0) return {};
    using Slot = typename Set::value_type;
    const size_t control =
        RoundUp(capacity + kIndexExtraControlBytes, alignof(Slot));
    return {0, HeapBlockBytes(control + capacity * sizeof(Slot))};
  }

 private:
  // Builds a table of `capacity` slots (2^k - 1) beside the old one, moves
  // the entries over and swaps it in.
  bool Rebuild(size_t capacity, MemoryBudget& budget) {
    const MemoryCost cost = Cost(capacity);
    const bool mapped = cost.bookkeepingBytes >= kMappedBlockBytes;
    if (mapped && Refused()) return false;
    if (!budget.Charge(cost)) return false;
    try {
      Set bigger(capacity);
      PK_DCHECK(bigger.capacity() == capacity);
      for (const auto& entry : set_) bigger.insert(entry);
      set_.swap(bigger);
      budget.GiveBack(Cost(bigger.capacity()));
    } catch (const std::bad_alloc&) {
      // Nothing was built: the old table is whole.
      budget.GiveBack(cost);
      if (mapped) {
        const uint32_t at =
            NowMs() + static_cast<uint32_t>(kGrowthRetryAfter.count());
        retryAtMs_ = at == 0 ? 1 : at;  // 0 reads as none
      }
      return false;
    }
    erased_ = 0;
    retryAtMs_ = 0;
    return true;
  }

  // The steady clock in milliseconds, cut to 32 bits: compared only over
  // spans far shorter than the 49 days it takes to wrap.
  static uint32_t NowMs() {
    return static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now().time_since_epoch())
            .count());
  }
  // Whether a refused growth is not to be tried yet; forgets one that is.
  bool Refused() {
    if (retryAtMs_ == 0) return false;
    if (static_cast<int32_t>(retryAtMs_ - NowMs()) > 0) return true;
    retryAtMs_ = 0;
    return false;
  }

  Set set_;
  // Entries erased since the table was last built: at least the erased
  // slots it still counts as used; under 7/8 of kMaxIndexSlots.
  uint32_t erased_ = 0;
  // When a large growth the heap refused may be tried again; 0: none was.
  uint32_t retryAtMs_ = 0;
};

}  // namespace pendrakel

#endif  // PENDRAKEL_STORE_FLAT_INDEX_H_
