// CookieTable: the index from a client's cookie text to that client's Values.
//
// Keys are byte strings compared like value names (unsigned bytes, shorter
// first, no case folding); the whole cookie header text is one key. They are
// indexed by a hash, so a lookup is one probe; the walks over the whole
// table (CollectIdle, AcquireAll) sort the keys first and go in key order.
//
// Ownership: each entry holds a handle on its collection. Acquire and
// AcquireOrCreate hand the caller a handle of its own; CollectIdle moves the
// entries' handles into the caller's list; the destructor releases what is
// left.
//
// Thread safety (store/README.md): every operation takes lock_ itself. lock_
// guards entries_ only; a collection's lastAccess is its own atomic, touched
// under lock_ by Acquire and AcquireOrCreate so that CollectIdle, under the
// same lock, never drops a collection a request has just resolved. No
// Values lock is taken and no value is freed while lock_ is held
// (collections leaving the table are released by the caller after it is
// given up).
#ifndef PENDRAKEL_STORE_COOKIE_TABLE_H_
#define PENDRAKEL_STORE_COOKIE_TABLE_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "absl/hash/hash.h"
#include "base/mutex.h"
#include "store/flat_index.h"
#include "store/memory_budget.h"
#include "store/values_ref.h"

namespace pendrakel {

class LazyFree;
class MemoryBudget;

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
  // Releases every collection still in the table. REQUIRES: no other thread
  // uses the table any more.
  ~CookieTable();
  CookieTable(const CookieTable&) = delete;
  CookieTable& operator=(const CookieTable&) = delete;

  // A handle on the collection of `cookie`, touched at `now`; empty when the
  // cookie is not in the table.
  ValuesRef Acquire(std::string_view cookie, int64_t now) EXCLUDES(lock_);
  // As Acquire, but a cookie not in the table gets a new collection, entered
  // within the same hold of the lock; an empty handle when memory for it
  // cannot be had.
  AcquireResult AcquireOrCreate(std::string_view cookie, int64_t now)
      EXCLUDES(lock_);
  // Enters a collection the caller has just created under a freshly made
  // cookie; the table takes a handle of its own. kTaken or kNoMemory leave
  // the table unchanged. REQUIRES: `values` is touched, charges this
  // table's budget and is in no table yet.
  InsertOutcome Insert(std::string_view cookie, const ValuesRef& values)
      EXCLUDES(lock_);
  // Moves every collection idle at `now` under `idleLimit` seconds into
  // `idle`, each with the handle its entry held. An entry that finds no room
  // in `idle` stays.
  void CollectIdle(int64_t now, int64_t idleLimit, std::vector<ValuesRef>& idle)
      EXCLUDES(lock_);
  // Appends a handle on every collection in the table, as far as `all` has
  // room.
  void AcquireAll(std::vector<ValuesRef>& all) EXCLUDES(lock_);

  // Number of entries, read without the lock; only a hint for sizing lists.
  size_t size() const { return count_.load(std::memory_order_relaxed); }

 private:
  // Hash and equality of keys, transparent so that a lookup by string_view
  // copies nothing.
  struct Key {
    using is_transparent = void;
    size_t operator()(std::string_view key) const {
      return absl::Hash<std::string_view>{}(key);
    }
    bool operator()(std::string_view a, std::string_view b) const {
      return a == b;
    }
  };
  using Entries = absl::flat_hash_map<std::string, ValuesRef, Key, Key>;

  bool MakeRoomForOne() REQUIRES(lock_);
  // What the copy of a cookie text of `length` bytes costs.
  static MemoryCost KeyCost(size_t length);
  // Enters a new key; false when memory for it cannot be had.
  bool Enter(std::string_view cookie, const ValuesRef& values) REQUIRES(lock_);
  // Every entry, sorted by key. May throw std::bad_alloc.
  std::vector<Entries::iterator> InKeyOrder() REQUIRES(lock_);

  void CountEntries() REQUIRES(lock_) {
    count_.store(entries_.size(), std::memory_order_relaxed);
  }

  MemoryBudget& budget_;
  LazyFree* const lazyFree_;
  Mutex lock_;
  Entries entries_ GUARDED_BY(lock_);
  // Entries erased since the index was last rebuilt (their slots count
  // toward its growth).
  size_t erased_ GUARDED_BY(lock_) = 0;
  std::atomic<size_t> count_{0};  // entries_.size(), for lock-free hints
};

}  // namespace pendrakel

#endif  // PENDRAKEL_STORE_COOKIE_TABLE_H_
