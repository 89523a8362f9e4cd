// SharedValues: the one collection that requests without a cookie work in
// when cookies are not handed out.
//
// Ownership: the pointer is a handle on the collection it names. Acquire
// hands each caller a handle of its own; ReplaceIfIdle swaps in a fresh
// collection and releases the pointer's handle on the old one, which lives
// on until the last request holding it lets go.
//
// Persistence (store/change_queue.h): with a change queue, each collection
// that becomes the shared one is recorded in the hold of lock_ that makes it
// current, before any request can reach it.
//
// Thread safety (store/README.md): lock_ guards current_ and orders the
// hand-over: a handle is taken while the pointer is read, under lock_ held
// shared (every request without a cookie does it, so requests on different
// cores must not wait on each other), while a change of the pointer holds
// it alone, so no caller can take a reference on a collection ReplaceIfIdle
// has already released. lock_ is held only for the pointer read, the touch
// and the reference increment; no other lock is taken under it, and the old
// collection is released after it is given up.
#ifndef PENDRAKEL_STORE_SHARED_VALUES_H_
#define PENDRAKEL_STORE_SHARED_VALUES_H_

#include <cstdint>

#include "base/mutex.h"
#include "store/change_queue.h"
#include "store/values_ref.h"

namespace pendrakel {

class ChangeQueue;
class LazyFree;
class MemoryBudget;

class SharedValues {
 public:
  // Its collections charge their values to `budget` and, when large, are
  // destroyed on `lazyFree` if given (Values::Create).
  explicit SharedValues(MemoryBudget& budget, LazyFree* lazyFree = nullptr)
      : budget_(budget), lazyFree_(lazyFree) {}
  // Releases the collection if Stop did not.
  ~SharedValues() { Stop(); }
  SharedValues(const SharedValues&) = delete;
  SharedValues& operator=(const SharedValues&) = delete;

  // Makes the first collection. False when memory for it cannot be had.
  // REQUIRES: called by start-up.
  bool Start() EXCLUDES(lock_);
  // Releases the pointer's reference; afterwards Acquire yields nullptr.
  // REQUIRES: called by shut-down, once no collector runs.
  void Stop() EXCLUDES(lock_);

  // Records the current collection and those made from now on on
  // `changes`, the current one under a new id unless it has one. False
  // when memory for its record cannot be had. REQUIRES: start-up, after
  // Start, before any request and before the writer runs.
  bool RecordChanges(ChangeQueue& changes) EXCLUDES(lock_);
  // Puts `loaded`, a collection read from the store's files, in the place
  // of the current one. REQUIRES: start-up, after Start, before any request.
  void Install(ValuesRef loaded) EXCLUDES(lock_);

  // A handle on the current collection, touched at `now`; empty when
  // stopped.
  ValuesRef Acquire(int64_t now) EXCLUDES(lock_);
  // A handle on the current collection for a collector pass, not touched;
  // empty when stopped.
  ValuesRef AcquireUntouched() EXCLUDES(lock_);
  // When the current collection is idle at `now` under `idleLimit`, puts a
  // fresh one in its place and releases the old one. True when replaced;
  // when no fresh collection can be made the current one stays.
  bool ReplaceIfIdle(int64_t now, int64_t idleLimit) EXCLUDES(lock_);

 private:
  // Pushes the record of a collection becoming the shared one; true when
  // the journal's writer must be woken once lock_ is given up.
  bool Record(ChangePtr& record) REQUIRES(lock_);

  MemoryBudget& budget_;
  LazyFree* const lazyFree_;
  // Set at start-up, then only read; nullptr without persistence.
  ChangeQueue* changes_ = nullptr;
  SharedMutex lock_;
  ValuesRef current_ GUARDED_BY(lock_);
};

}  // namespace pendrakel

#endif  // PENDRAKEL_STORE_SHARED_VALUES_H_
