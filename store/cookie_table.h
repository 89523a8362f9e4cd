// CookieTable: the index from a client's cookie text to that client's Values.
//
// Keys are byte strings compared like value names (unsigned bytes, shorter
// first, no case folding); the whole cookie header text is one key.
//
// Ownership: each entry holds one reference on its collection. Acquire and
// AcquireOrCreate hand the caller a reference of its own; CollectIdle moves
// the entries' references into the caller's list; the destructor releases
// what is left.
//
// Thread safety: every operation takes lock_ itself. lock_ guards entries_
// and the lastAccess of every collection in the table; no Values lock and no
// MemoryBudget lock is taken while it is held (collections leaving the table
// are released by the caller after it is given up).
#ifndef PENDRAKEL_STORE_COOKIE_TABLE_H_
#define PENDRAKEL_STORE_COOKIE_TABLE_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "store/mutex.h"

namespace pendrakel {

class MemoryBudget;
class Values;

class CookieTable {
 public:
  struct AcquireResult {
    Values* values = nullptr;  // with the caller's reference; null on failure
    bool created = false;
  };

  // Collections made by AcquireOrCreate charge their values to `budget`.
  explicit CookieTable(MemoryBudget& budget) : budget_(budget) {}
  // Releases every collection still in the table.
  ~CookieTable();
  CookieTable(const CookieTable&) = delete;
  CookieTable& operator=(const CookieTable&) = delete;

  // The collection of `cookie` with a reference for the caller, touched at
  // `now`; nullptr when the cookie is not in the table.
  Values* Acquire(std::string_view cookie, int64_t now) EXCLUDES(lock_);
  // As Acquire, but a cookie not in the table gets a new collection, entered
  // within the same hold of the lock.
  AcquireResult AcquireOrCreate(std::string_view cookie, int64_t now)
      EXCLUDES(lock_);
  // Enters a collection the caller has just created (and touched) under a
  // freshly made cookie; the table takes its own reference. False, with the
  // table unchanged, when the cookie is already present.
  bool Insert(std::string_view cookie, Values* values) EXCLUDES(lock_);
  // Moves every collection idle at `now` under `idleLimit` seconds into
  // `idle`, each with the reference its entry held.
  void CollectIdle(int64_t now, int64_t idleLimit, std::vector<Values*>& idle)
      EXCLUDES(lock_);
  // Appends every collection in the table, each with a reference taken for
  // the caller.
  void AcquireAll(std::vector<Values*>& all) EXCLUDES(lock_);

  // Number of entries, read without the lock; only a hint for sizing lists.
  size_t size() const { return count_.load(std::memory_order_relaxed); }

 private:
  using Entries = std::map<std::string, Values*, std::less<>>;

  void CountEntries() REQUIRES(lock_) {
    count_.store(entries_.size(), std::memory_order_relaxed);
  }

  MemoryBudget& budget_;
  Mutex lock_;
  Entries entries_ GUARDED_BY(lock_);
  std::atomic<size_t> count_{0};  // entries_.size(), for lock-free hints
};

}  // namespace pendrakel

#endif  // PENDRAKEL_STORE_COOKIE_TABLE_H_
