// LazyFree: the queue of large collections whose last holder has let go,
// destroyed on the idle collector's thread (store/collectors.h), so that the
// thread releasing one last (a request, a collector pass) does not pay for
// it.
//
// Destroying a collection releases every value in it, in name order, and
// takes about half a microsecond a value. Values::Release hands a
// collection of at least kLazyFreeMinEntries values to Take, which queues it
// and wakes the thread that destroys what is queued (DestroyQueued); the
// values' bytes return to the MemoryBudget there, so the memory total drops
// a little after the release rather than at it. A smaller collection, or
// any collection while the queue does not take any (before Start, after
// Stop), is destroyed at once by the releasing thread.
//
// Ownership: a collection handed over has no holder left; LazyFree owns it
// from Take until it is destroyed. The queue is a list linked through the
// collections themselves, so a hand-over allocates nothing. Stop destroys
// whatever is queued before it returns: every collection handed over is
// destroyed before the LazyFree, and so before the budget it is built after.
//
// Thread safety (store/README.md): Take may be called from any thread, with
// no lock held; DestroyQueued from the one thread woken for it; Start and
// Stop by the one thread of start-up and shut-down. lock_ guards the queue,
// `accepting_` and the wake; nothing else is taken while it is held, the
// wake is called after it is given up and collections are destroyed after
// it is given up.
#ifndef PENDRAKEL_STORE_LAZY_FREE_H_
#define PENDRAKEL_STORE_LAZY_FREE_H_

#include <cstddef>

#include "base/mutex.h"

namespace pendrakel {

class Values;

// Entries from which a released collection is destroyed lazily: smaller ones
// take under a millisecond on the releasing thread.
inline constexpr size_t kLazyFreeMinEntries = 1024;

// Called, with no lock held, after a collection was queued: wakes the thread
// that calls LazyFree::DestroyQueued.
struct LazyFreeWake {
  void (*call)(void* context) = nullptr;
  void* context = nullptr;
};

class LazyFree {
 public:
  using Wake = LazyFreeWake;

  LazyFree() = default;
  // Destroys what is queued, if Stop did not.
  ~LazyFree() { Stop(); }
  LazyFree(const LazyFree&) = delete;
  LazyFree& operator=(const LazyFree&) = delete;

  // Takes collections from now on, calling `wake` after each. Returns true.
  // REQUIRES: called by start-up; whatever `wake` uses outlives Stop.
  bool Start(Wake wake = {}) EXCLUDES(lock_);
  // Refuses further hand-overs and destroys every collection queued, on the
  // calling thread. REQUIRES: the thread woken for DestroyQueued has ended.
  void Stop() EXCLUDES(lock_);

  // Queues `values` for destruction. False, with nothing done, when the
  // queue takes none: the caller destroys it then. REQUIRES: `values` has no
  // holder left; the caller holds no lock.
  bool Take(Values* values) EXCLUDES(lock_);
  // Destroys every collection queued, then hands the memory freed back to
  // the system. False when none was queued.
  bool DestroyQueued() EXCLUDES(lock_);

 private:
  // The next queued collection, taken off the queue; nullptr when none.
  Values* PopQueued() EXCLUDES(lock_);

  Mutex lock_;
  // The queue's first collection, each linking the next (Values::
  // nextToFree_, written and read only under lock_).
  Values* queued_ GUARDED_BY(lock_) = nullptr;
  bool accepting_ GUARDED_BY(lock_) = false;  // Take queues
  Wake wake_ GUARDED_BY(lock_);
};

}  // namespace pendrakel

#endif  // PENDRAKEL_STORE_LAZY_FREE_H_
