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
// Persistence (store/change_queue.h): a collection made with a change queue
// has an id unique in the store's files, and each store or delete that
// changes its index pushes its change onto the queue in the same hold of
// lock_, so the queue's order of one name is the index's. Without a queue
// none of this runs.
//
// Thread safety (store/README.md): every operation may be called from any
// thread. lock_ guards entries_ only and is held for one lookup
// plus the insert or erase that goes with it; values unlinked under it are
// released after it is given up, so no other lock is ever taken while it is
// held (a change is made before it is taken and pushed without a lock).
// refCount_, lastAccess_ and count_ are atomics, read and written without
// lock_.
#ifndef PENDRAKEL_STORE_VALUES_H_
#define PENDRAKEL_STORE_VALUES_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include "absl/container/flat_hash_set.h"
#include "absl/hash/hash.h"
#include "base/debug_check.h"
#include "base/mutex.h"
#include "store/counted_ref.h"
#include "store/flat_index.h"
#include "store/ref_count.h"
#include "store/value.h"
#include "store/value_ref.h"

namespace pendrakel {

class ChangeQueue;
class Change;
class LazyFree;
class MemoryBudget;
class SyncTicket;
class Values;
struct ValuesCounting;
// A counted handle on a Values (store/values_ref.h).
using ValuesRef = CountedRef<Values, ValuesCounting>;

class Values {
 public:
  // kNoMemory: the index could not grow, or the change could not be made;
  // kNotKept: persistence refuses changes while writing fails. The
  // collection is unchanged by either.
  enum class PutOutcome { kCreated, kReplaced, kNoMemory, kNotKept };
  enum class RemoveOutcome { kRemoved, kAbsent, kNoMemory, kNotKept };

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
  // or more, its last release hands it to `lazyFree`, if given. With
  // `changes`, it takes a new id and records its stores and deletes there.
  static ValuesRef Create(MemoryBudget& budget, LazyFree* lazyFree = nullptr,
                          ChangeQueue* changes = nullptr);

  // Records its changes on `changes` from now on, under the `id` it has in
  // the store's files (start-up, for a collection loaded from them).
  // REQUIRES: no other thread can reach the collection yet.
  void RecordChanges(ChangeQueue& changes, uint64_t id) {
    changes_ = &changes;
    id_ = id;
  }
  // Its id in the store's files; 0 without persistence.
  uint64_t id() const { return changes_ != nullptr ? id_ : 0; }

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
  // caller keeps its handle. When the change queue answers only synced
  // changes, `ticket` (if given) receives the hold to wait for it with,
  // after this returns. REQUIRES: `value` is complete (its data filled),
  // charged to this collection's budget, and stored nowhere yet.
  PutOutcome Put(const ValueRef& value, SyncTicket* ticket = nullptr)
      EXCLUDES(lock_);
  RemoveOutcome Remove(std::string_view name, SyncTicket* ticket = nullptr)
      EXCLUDES(lock_);
  // Puts `previous` back under `name`, or removes the name when it is
  // empty, and records that whether changes are refused or not: the undo
  // of stores and deletes whose records could not be synced. Does nothing
  // when the name already holds `previous`, or memory for the change or
  // the index cannot be had. REQUIRES: the collection records its changes.
  void Restore(std::string_view name, const ValueRef& previous) EXCLUDES(lock_);
  // Number of entries, read without the lock; only a hint for sizing lists.
  size_t size() const { return count_.load(std::memory_order_relaxed); }

  // Where a walk over the values in slices (Slice) goes on.
  struct SliceCursor {
    const void* nextSlot = nullptr;  // the next entry's place; null: start
    ValueRef next;                   // and its value
    uint32_t indexBuilds = 0;        // the index as the walk last saw it
    int restarts = 0;                // times the index was built meanwhile
    bool done = false;
  };
  // Appends handles on the next values of a walk over the collection, at
  // most `most` under one hold of the lock, each live at `now`; false, with
  // nothing appended, once the walk is done. A value in the collection all
  // along is appended at least once; one stored meanwhile may or may not be.
  bool Slice(SliceCursor& cursor, size_t most, int64_t now,
             std::vector<ValueRef>& out) EXCLUDES(lock_);
  // Moves the entries not live at `now` among the next `most` of a walk
  // over the collection into `expired`, in name order, each as a handle
  // with the reference its entry held, under one hold of the lock; false,
  // with nothing looked at, once the walk is done. An entry that finds no
  // room in `expired` stays for the next walk.
  bool CollectExpired(SliceCursor& cursor, size_t most, int64_t now,
                      std::vector<ValueRef>& expired) EXCLUDES(lock_);

 private:
  friend class LazyFree;         // destroys the collections handed to it
  friend struct ValuesCounting;  // the only code that changes refCount_

  // Drops one reference; the last one destroys the collection, or hands a
  // large one to the lazy free.
  void Release();

  // An entry of the index: the one count the collection owns on a value,
  // taken from a handle with Detach and given back to one with Adopt when
  // the entry leaves. The value's address is kept in its low kEntryBytes
  // bytes, unaligned (Value::Create makes only records whose address fits):
  // the index's slots are what a large collection pays per value beside
  // the records, and six bytes in place of eight take a quarter off them.
  // Its value may be swapped in place for another of the same name: where
  // an entry sits in the index depends on the name alone.
  class Entry {
   public:
    explicit Entry(Value* owned) { Store(owned); }
    Value* value() const {
      uintptr_t address = 0;
      std::memcpy(&address, address_, kEntryBytes);
      return reinterpret_cast<Value*>(address);
    }
    // Puts `owned` in the entry and returns the value it held, whose count
    // is the caller's now. REQUIRES: `owned` has the name of this entry.
    Value* Swap(Value* owned) const {
      Value* held = value();
      Store(owned);
      return held;
    }

   private:
    void Store(Value* value) const {
      const auto address = reinterpret_cast<uintptr_t>(value);
      PK_DCHECK(Value::FitsEntry(value));
      std::memcpy(address_, &address, kEntryBytes);
    }
    mutable unsigned char address_[kEntryBytes];
  };
  static_assert(sizeof(Entry) == kEntryBytes && alignof(Entry) == 1);

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
      : budget_(budget), lazyFree_(lazyFree), id_(0) {}
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
  // Enters `value` under its name; the value it replaced, if any, goes to
  // `replaced`.
  PutOutcome Insert(const ValueRef& value, ValueRef& replaced) REQUIRES(lock_);
  // Makes sure an entry can be inserted; false when the index cannot grow.
  bool MakeRoom() REQUIRES(lock_);
  // Whether changes are refused (persistence cannot write).
  bool Refused() const;
  // Pushes `change` (made for this collection); when only synced changes
  // are answered, `previous` (what the change replaced or removed) moves
  // into it, to undo it with. True when the writer must be woken once
  // lock_ is given up.
  bool Record(Change* change, ValueRef& previous, SyncTicket* ticket)
      REQUIRES(lock_);
  // Wakes the writer for a change just recorded. REQUIRES: no lock held.
  void WakeWriter() const;
  // Where a slice walk that stopped before the entry of `next` at `slot`
  // goes on: that entry, or the first placed after it. REQUIRES: the index
  // was not built anew since.
  Entries::iterator Resume(const void* slot, const Value& next) REQUIRES(lock_);
  // Where the walk of `cursor` goes on (`resumed`: its next value, moved
  // out of it before the lock), and where it stops: the walk is done at the
  // end, else it keeps a handle on the entry it stopped before.
  Entries::iterator Resume(SliceCursor& cursor, const ValueRef& resumed)
      REQUIRES(lock_);
  void Pause(SliceCursor& cursor, Entries::iterator it) REQUIRES(lock_);

  void CountEntries() REQUIRES(lock_) {
    count_.store(static_cast<uint32_t>(entries_.set().size()),
                 std::memory_order_relaxed);
  }

  MemoryBudget& budget_;
  LazyFree* const lazyFree_;  // nullptr: always destroyed at once
  union {
    // Its id in the store's files, while it has holders: set at creation
    // or at start-up, then only read.
    uint64_t id_;
    // The next collection in LazyFree's queue, once handed to it (no holder
    // is left to read id_); written and read only under LazyFree::lock_.
    Values* nextToFree_;
  };
  Mutex lock_;
  FlatIndex<Entries> entries_ GUARDED_BY(lock_);
  // entries_.size(), for lock-free hints (an index holds under 2^31).
  std::atomic<uint32_t> count_{0};
  RefCount refCount_;
  std::atomic<int64_t> lastAccess_{0};  // seconds; 0 = never resolved
  // Where its changes go; nullptr without persistence. Set at creation or
  // at start-up, then only read.
  ChangeQueue* changes_ = nullptr;
  // Times the index was built anew (a slice walk starts again then).
  uint32_t indexBuilds_ GUARDED_BY(lock_) = 0;
};

}  // namespace pendrakel

#endif  // PENDRAKEL_STORE_VALUES_H_
