// Values: one collection of named Value records, the collection of one client
// cookie or the one shared collection.
//
// Names are byte strings of any length without NUL bytes, the empty one
// included, ordered by unsigned bytes with the shorter first on a common
// prefix; no case folding. Lookups go through a hash index; the walks over a
// whole collection (collecting expired values, destruction) visit values in
// name order.
//
// Ownership: the collection owns one reference on the Value of each entry,
// taken only once the entry is in the index and released when the entry
// leaves it. The collection itself is reference counted through ValuesRef
// handles (store/values_ref.h): the cookie table entry or the shared
// pointer, each request resolved to it and each collector pass working on it
// hold one; the last one destroys it and releases every entry, on the
// idle collector (through the lazy free, store/lazy_free.h) for a large
// collection made with one, else at once. Its record, and its index as it
// grows, are charged to its budget.
//
// Thread safety (store/README.md): every operation may be called from any
// thread. lock_ guards entries_ only and is held for one lookup
// plus the insert or erase that goes with it; values unlinked under it are
// released after it is given up, so no other lock is ever taken while it is
// held. refCount_, lastAccess_ and count_ are atomics, read and written without
// lock_.
#ifndef PENDRAKEL_STORE_VALUES_H_
#define PENDRAKEL_STORE_VALUES_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "absl/container/flat_hash_set.h"
#include "absl/hash/hash.h"
#include "base/mutex.h"
#include "store/counted_ref.h"
#include "store/flat_index.h"
#include "store/ref_count.h"
#include "store/value.h"
#include "store/value_ref.h"

namespace pendrakel {

class LazyFree;
class MemoryBudget;
class Values;
struct ValuesCounting;
// A counted handle on a Values (store/values_ref.h).
using ValuesRef = CountedRef<Values, ValuesCounting>;

class Values {
 public:
  // kNoMemory: the index could not grow; the collection is unchanged.
  enum class PutOutcome { kCreated, kReplaced, kNoMemory };
  enum class RemoveOutcome { kRemoved, kAbsent };

  // What Get found: the caller's handle on the live Value, or an empty one;
  // `removedExpired` tells that an expired entry was removed.
  struct GetResult {
    ValueRef value;
    bool removedExpired = false;
  };

  Values(const Values&) = delete;
  Values& operator=(const Values&) = delete;

  // A new empty collection with lastAccess 0, charging its values to
  // `budget`, and the creator's handle on it; an empty handle when memory
  // for the record cannot be had. Once it holds kLazyFreeMinEntries values
  // or more, its last release hands it to `lazyFree`, if given.
  static ValuesRef Create(MemoryBudget& budget, LazyFree* lazyFree = nullptr);

  // Sets lastAccess to `now`. Stores only a new time: requests of one
  // second touching a busy collection from several threads then share its
  // cache line instead of writing it in turn. REQUIRES: the caller holds the
  // lock of whoever hands the collection out (the cookie table's or the
  // shared pointer's), which orders it against the idleness test, or the
  // collection is not handed out yet; its own lock is not needed.
  void Touch(int64_t now) {
    if (lastAccess_.load(std::memory_order_relaxed) != now)
      lastAccess_.store(now, std::memory_order_relaxed);
  }
  int64_t lastAccess() const {
    return lastAccess_.load(std::memory_order_relaxed);
  }

  GetResult Get(std::string_view name, int64_t now) EXCLUDES(lock_);
  // Stores `value` under its name; the entry takes its own reference, the
  // caller keeps its handle. REQUIRES: `value` is complete (its data
  // filled), charged to this collection's budget, and stored nowhere yet.
  PutOutcome Put(const ValueRef& value) EXCLUDES(lock_);
  RemoveOutcome Remove(std::string_view name) EXCLUDES(lock_);
  // Moves every entry that is not live at `now` into `expired`, in name
  // order, each as a handle with the reference its entry held. An entry
  // that finds no room in `expired` stays.
  void CollectExpired(int64_t now, std::vector<ValueRef>& expired)
      EXCLUDES(lock_);

  // Number of entries, read without the lock; only a hint for sizing lists.
  size_t size() const { return count_.load(std::memory_order_relaxed); }

 private:
  friend class LazyFree;         // destroys the collections handed to it
  friend struct ValuesCounting;  // the only code that changes refCount_

  // Drops one reference; the last one destroys the collection, or hands a
  // large one to the lazy free.
  void Release();

  // An entry of the index: the one count the collection owns on a value,
  // taken from a handle with Detach and given back to one with Adopt when
  // the entry leaves. As small as the pointer it is. Its value may be
  // swapped in place for another of the same name: where an entry sits in
  // the index depends on the name alone.
  class Entry {
   public:
    explicit Entry(Value* owned) : value_(owned) {}
    Value* value() const { return value_; }
    // Puts `owned` in the entry and returns the value it held, whose count
    // is the caller's now. REQUIRES: `owned` has the name of this entry.
    Value* Swap(Value* owned) const { return std::exchange(value_, owned); }

   private:
    mutable Value* value_;
  };

  // Hash and equality of entries by name, transparent so that a lookup by
  // name allocates nothing. The hash is seeded per process, so that clients
  // cannot choose names that collide.
  struct ByName {
    using is_transparent = void;
    static std::string_view Key(const Entry& entry) {
      return entry.value()->name();
    }
    static std::string_view Key(std::string_view name) { return name; }
    template <typename A>
    size_t operator()(const A& a) const {
      return absl::Hash<std::string_view>{}(Key(a));
    }
    template <typename A, typename B>
    bool operator()(const A& a, const B& b) const {
      return Key(a) == Key(b);
    }
  };
  // The values themselves, each knowing its name: about ten bytes of index
  // per entry, and a lookup touches one or two cache lines of it.
  using Entries = absl::flat_hash_set<Entry, ByName, ByName>;

  // Puts the values of [first, last) in name order.
  template <typename Iterator>
  static void SortByName(Iterator first, Iterator last);

  Values(MemoryBudget& budget, LazyFree* lazyFree)
      : budget_(budget), lazyFree_(lazyFree) {}
  // Releases every value, frees the index and gives the collection's bytes
  // back.
  ~Values();
  // Releases every entry's value, in name order when there is memory to
  // sort. REQUIRES: no other holder is left.
  void ReleaseInNameOrder();

  // A handle taking over the count of an entry that leaves the index.
  ValueRef Adopt(Value* owned) { return ValueRef::Adopt(owned, {&budget_}); }
  // Erases the entry at `it` (its reference is the caller's to release).
  void Erase(Entries::iterator it) REQUIRES(lock_);

  void CountEntries() REQUIRES(lock_) {
    count_.store(entries_.set().size(), std::memory_order_relaxed);
  }

  MemoryBudget& budget_;
  LazyFree* const lazyFree_;  // nullptr: always destroyed at once
  // The next collection in LazyFree's queue, once handed to it; written and
  // read only under LazyFree::lock_.
  Values* nextToFree_ = nullptr;
  Mutex lock_;
  FlatIndex<Entries> entries_ GUARDED_BY(lock_);
  std::atomic<size_t> count_{0};        // entries_.size(), for lock-free hints
  std::atomic<int64_t> lastAccess_{0};  // seconds; 0 = never resolved
  RefCount refCount_;
};

}  // namespace pendrakel

#endif  // PENDRAKEL_STORE_VALUES_H_
