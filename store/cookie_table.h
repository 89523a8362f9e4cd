// CookieTable: the index from a client's cookie text to that client's Values.
//
// Keys are byte strings compared like value names (unsigned bytes, shorter
// first, no case folding); the whole cookie header text is one key. Each
// cookie is one entry, a heap record holding the key, its hash and the
// table's handle on the collection. The entries are indexed twice:
//
// - by a hash index whose slots hold an entry and its hash, so a lookup is
//   one probe, and growing the index (FlatIndex, built aside) moves slots
//   without reading a key;
// - by a tree in key order, linked through the entries themselves (no
//   allocation), which the whole-table walks (CollectIdle, AcquireAll) go
//   through in bounded slices: at most kWalkSliceEntries entries per hold of
//   the lock, so a request never waits long behind a collector pass,
//   however many collections there are. Between slices a walk remembers the
//   next entry to look at; an entry leaving the table moves every walk on
//   it to its successor.
//
// Ownership: the table owns its entries. Each holds a handle on its
// collection; Acquire and AcquireOrCreate hand the caller a handle of its
// own; CollectIdle moves the entries' handles into the caller's list and
// frees the entries; the destructor releases what is left. An entry's key,
// its hash slot and the index are charged to the table's budget.
//
// Persistence (store/change_queue.h): with a change queue, a collection
// entering the table is recorded in the same hold of lock_ that enters it
// (before any request can reach it), and one leaving it once lock_ is given
// up (its id is never used again, so that record's place among the others
// does not matter).
//
// Thread safety (store/README.md): every operation takes lock_ itself. lock_
// guards the index, the tree and the walks; lookups hold it shared, so that
// requests resolving cookies on different threads never wait on each
// other, and changes hold it alone. A collection's lastAccess is its own
// atomic, touched under lock_ (shared) by Acquire and AcquireOrCreate so
// that CollectIdle, testing it under the same lock held alone, never drops
// a collection a request has just resolved. Keys are hashed and entries made
// before lock_ is taken; no Values lock is taken and nothing is freed while it
// is held (collections and entries leaving the table are released after it is
// given up).
#ifndef PENDRAKEL_STORE_COOKIE_TABLE_H_
#define PENDRAKEL_STORE_COOKIE_TABLE_H_

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "absl/container/flat_hash_set.h"
#include "absl/hash/hash.h"
#include "base/mutex.h"
#include "boost/intrusive/set.hpp"
#include "store/change_queue.h"
#include "store/flat_index.h"
#include "store/heap_block.h"
#include "store/memory_budget.h"
#include "store/values_ref.h"

namespace pendrakel {

class ChangeQueue;
class LazyFree;

// Entries a walk over the table looks at per hold of the lock.
inline constexpr size_t kWalkSliceEntries = 256;
// A walk's pause between two holds of the lock: a mutex lets the thread
// that just gave it up take it back before a woken waiter can run, so
// without the pause a request could wait behind slice after slice.
inline constexpr std::chrono::microseconds kWalkPause{20};

class CookieTable {
 public:
  struct AcquireResult {
    ValuesRef values;  // the caller's handle; empty on failure
    bool created = false;
  };
  // kNoMemory: the table could not grow.
  enum class InsertOutcome { kInserted, kTaken, kNoMemory };

  // Collections made by AcquireOrCreate charge their values to `budget` and,
  // when large, are destroyed on `lazyFree` if given (Values::Create).
  explicit CookieTable(MemoryBudget& budget, LazyFree* lazyFree = nullptr)
      : budget_(budget), lazyFree_(lazyFree) {}
  // Releases every collection still in the table, in key order. REQUIRES:
  // no other thread uses the table any more.
  ~CookieTable();
  CookieTable(const CookieTable&) = delete;
  CookieTable& operator=(const CookieTable&) = delete;

  // A handle on the collection of `cookie`, touched at `now`; empty when the
  // cookie is not in the table.
  ValuesRef Acquire(std::string_view cookie, int64_t now) EXCLUDES(lock_);
  // As Acquire, but a cookie not in the table gets a new collection, made
  // outside the lock and entered unless another request entered one for the
  // same cookie meanwhile (then both get that one); an empty handle when
  // memory for it cannot be had.
  AcquireResult AcquireOrCreate(std::string_view cookie, int64_t now)
      EXCLUDES(lock_);
  // Enters a collection the caller has just created under a freshly made
  // cookie; the table takes a handle of its own. kTaken or kNoMemory leave
  // the table unchanged. REQUIRES: `values` is touched, charges this
  // table's budget and is in no table yet.
  InsertOutcome Insert(std::string_view cookie, const ValuesRef& values)
      EXCLUDES(lock_);
  // Moves every collection idle at `now` under `idleLimit` seconds into
  // `idle`, in key order, each with the handle its entry held. An entry
  // that finds no room in `idle` stays.
  void CollectIdle(int64_t now, int64_t idleLimit, std::vector<ValuesRef>& idle)
      EXCLUDES(lock_);
  // Appends a handle on every collection in the table, in key order, as far
  // as `all` has room.
  void AcquireAll(std::vector<ValuesRef>& all) EXCLUDES(lock_);

  // Runs `visit(cookie, collection)` on every entry in key order, in slices
  // of the lock, and `room()` before each slice, outside the lock, to make
  // room for what the slice keeps; `room` returns false to end the walk.
  // `visit` runs under lock_: it takes no lock and frees nothing.
  template <typename Room, typename Visit>
  void VisitInSlices(Room room, Visit visit) EXCLUDES(lock_) {
    WalkInSlices(room, [&](Entry* entry) NO_THREAD_SAFETY_ANALYSIS {
      visit(entry->key(), entry->values);
    });
  }

  // Number of entries, read without the lock; only a hint for sizing lists.
  size_t size() const { return count_.load(std::memory_order_relaxed); }
  // Bytes of the longest cookie ever entered, read without the lock; a hint
  // for sizing copies of the keys.
  size_t longestKey() const {
    return longestKey_.load(std::memory_order_relaxed);
  }

  // Records collections entering and leaving the table on `changes` from
  // now on; collections it makes record their changes there. REQUIRES:
  // start-up, before any request.
  void RecordChanges(ChangeQueue* changes) { changes_ = changes; }
  // Where collections made for the table record their changes; nullptr
  // without persistence.
  ChangeQueue* changes() const { return changes_; }

 private:
  // One cookie: its key (the bytes after the record), the table's handle
  // on the collection and the links of the tree. Packed, so that the key
  // follows its length at once: every cookie pays for this record.
#pragma pack(push, 4)
  struct Entry
      : boost::intrusive::set_base_hook<
            boost::intrusive::optimize_size<true>,
            boost::intrusive::link_mode<boost::intrusive::normal_link>> {
    Entry(ValuesRef values, uint32_t keyBytes)
        : values(std::move(values)), keyBytes(keyBytes) {}

    std::string_view key() const {
      return {reinterpret_cast<const char*>(this + 1), keyBytes};
    }
    // The entry and its key, as the heap holds them.
    static MemoryCost Cost(size_t keyBytes) {
      return {0, HeapBlockBytes(sizeof(Entry) + keyBytes)};
    }

    ValuesRef values;
    const uint32_t keyBytes;
  };
#pragma pack(pop)
  // The tree's order: by key.
  struct ByKey {
    bool operator()(const Entry& a, const Entry& b) const {
      return a.key() < b.key();
    }
  };
  using Tree =
      boost::intrusive::set<Entry, boost::intrusive::compare<ByKey>,
                            boost::intrusive::constant_time_size<false>>;

  // A slot of the hash index: an entry and its key's hash, so that growing
  // the index reads neither (taking an entry out hashes its key again).
  struct Slot {
    Entry* entry;
    size_t hash;
  };
  // What a lookup looks for.
  struct Probe {
    std::string_view key;
    size_t hash;
  };
  struct SlotHash {
    using is_transparent = void;
    size_t operator()(const Slot& slot) const { return slot.hash; }
    size_t operator()(const Probe& probe) const { return probe.hash; }
  };
  struct SlotEq {
    using is_transparent = void;
    bool operator()(const Slot& a, const Slot& b) const {
      return a.entry == b.entry;
    }
    bool operator()(const Slot& slot, const Probe& probe) const;
    bool operator()(const Probe& probe, const Slot& slot) const {
      return (*this)(slot, probe);
    }
  };
  using Index = absl::flat_hash_set<Slot, SlotHash, SlotEq>;

  // A walk in progress over the tree: the next entry to look at (null at
  // the end). Registered with the table while it runs.
  struct Walk {
    Entry* next = nullptr;
    Walk* nextWalk = nullptr;
  };

  // The key's hash, seeded per process so that clients cannot choose keys
  // that collide.
  static size_t Hash(std::string_view key) {
    return absl::Hash<std::string_view>{}(key);
  }
  // A new entry holding `values` under `cookie`, charged to the budget;
  // nullptr when memory for it cannot be had, or the cookie is longer than
  // a 32-bit length.
  Entry* MakeEntry(std::string_view cookie, ValuesRef values);
  // Frees an entry out of the table, releasing its handle (if still held)
  // and giving its bytes back. REQUIRES: lock_ is not held.
  void FreeEntry(Entry* entry);

  // The entry of `probe`, or nullptr.
  Entry* Find(const Probe& probe) const REQUIRES_SHARED(lock_);
  // The record of `entry` entering the table, when changes are recorded;
  // false when it is needed and memory for it cannot be had.
  bool MakeEntered(const Entry& entry, int64_t now, ChangePtr& record) const;
  // Enters `entry`, whose key hashes to `hash`, and pushes `record` if
  // there is one; false, with the table unchanged, when the index cannot
  // grow. `wake` tells whether the journal's writer must be woken once the
  // lock is given up. REQUIRES: its key is not in the table.
  bool Enter(Entry* entry, size_t hash, ChangePtr& record, bool& wake)
      REQUIRES(lock_);
  // Records that the collections of `left` left the table. REQUIRES: lock_
  // is not held.
  void RecordLeft(const std::vector<Entry*>& left);
  // Takes `entry` out of the index and the tree, moving every walk on it to
  // its successor; the entry is the caller's.
  void Remove(Entry* entry) REQUIRES(lock_);

  // Runs `visit` on each entry in key order, in slices of the lock, with
  // `room` called before each slice (outside the lock) to make room for
  // what the slice may keep. `visit` returns false to end the walk.
  template <typename Room, typename Visit>
  void WalkInSlices(Room room, Visit visit) EXCLUDES(lock_);

  void CountEntries() REQUIRES(lock_) {
    count_.store(index_.set().size(), std::memory_order_relaxed);
  }

  MemoryBudget& budget_;
  LazyFree* const lazyFree_;
  // Where entering and leaving collections are recorded; nullptr without
  // persistence. Set at start-up, then only read.
  ChangeQueue* changes_ = nullptr;
  SharedMutex lock_;
  FlatIndex<Index> index_ GUARDED_BY(lock_);
  Tree tree_ GUARDED_BY(lock_);
  Walk* walks_ GUARDED_BY(lock_) = nullptr;  // the walks in progress
  std::atomic<size_t> count_{0};  // index_.set().size(), for lock-free hints
  std::atomic<size_t> longestKey_{0};  // written under lock_, for hints
};

template <typename Room, typename Visit>
inline void CookieTable::WalkInSlices(Room room, Visit visit) {
  Walk walk;
  {
    WriterLock hold(lock_);
    walk.next = tree_.empty() ? nullptr : &*tree_.begin();
    walk.nextWalk = walks_;
    walks_ = &walk;
  }
  for (bool going = true; going && room();) {
    {
      WriterLock hold(lock_);
      for (size_t looked = 0; looked < kWalkSliceEntries; ++looked) {
        Entry* const entry = walk.next;
        if (entry == nullptr) break;
        Tree::iterator after = tree_.iterator_to(*entry);
        ++after;
        walk.next = after == tree_.end() ? nullptr : &*after;
        visit(entry);
      }
      going = walk.next != nullptr;
    }
    if (going) std::this_thread::sleep_for(kWalkPause);
  }
  WriterLock hold(lock_);
  Walk** link = &walks_;
  while (*link != &walk) link = &(*link)->nextWalk;
  *link = walk.nextWalk;
}

}  // namespace pendrakel

#endif  // PENDRAKEL_STORE_COOKIE_TABLE_H_
