// LazyFree: the background thread that destroys large collections, so that
// the thread releasing one last (a request, a collector pass) does not pay
// for it.
//
// Destroying a collection releases every value in it, in name order, and
// takes about half a microsecond a value. Values::Release hands a
// collection of at least kLazyFreeMinEntries values, whose last holder has
// let go, to Take; the thread then destroys it and its values' bytes return
// to the MemoryBudget there, so the memory total drops a little after the
// release rather than at it. A smaller collection, or any collection while
// the thread is not running (before Start, after Stop), is destroyed at once
// by the releasing thread.
//
// Ownership: a collection handed over has no holder left; LazyFree owns it
// from Take until it is destroyed. The queue is a list linked through the
// collections themselves, so a hand-over allocates nothing. Stop destroys
// whatever is queued before it returns: every collection handed over is
// destroyed before the LazyFree, and so before the budget it is built after.
//
// Thread safety (store/README.md): Take may be called from any thread, with
// no lock held; Start and Stop by the one thread of start-up and shut-down.
// lock_ guards the queue and `accepting_`; nothing else is taken while it is
// held, and collections are destroyed after it is given up.
#ifndef PENDRAKEL_STORE_LAZY_FREE_H_
#define PENDRAKEL_STORE_LAZY_FREE_H_

#include <condition_variable>
#include <cstddef>
#include <thread>

#include "base/mutex.h"

namespace pendrakel {

class Values;

// Entries from which a released collection is destroyed on the lazy-free
// thread: smaller ones take under a millisecond on the releasing thread.
inline constexpr size_t kLazyFreeMinEntries = 1024;

class LazyFree {
 public:
  LazyFree() = default;
  // Destroys what is queued and stops the thread, if Stop did not.
  ~LazyFree() { Stop(); }
  LazyFree(const LazyFree&) = delete;
  LazyFree& operator=(const LazyFree&) = delete;

  // Starts the thread; false when it cannot be started.
  bool Start() EXCLUDES(lock_);
  // Refuses further hand-overs, lets the thread destroy every collection
  // queued and waits for it. Does nothing when no thread runs.
  void Stop() EXCLUDES(lock_);

  // Queues `values` for destruction on the thread. False, with nothing
  // done, when the thread is not running: the caller destroys it then.
  // REQUIRES: `values` has no holder left; the caller holds no lock.
  bool Take(Values* values) EXCLUDES(lock_);

 private:
  // Destroys queued collections until stopped with an empty queue, handing
  // freed memory back to the system whenever the queue runs dry.
  void Run() EXCLUDES(lock_);
  // Waits for a queued collection; false once stopping with none queued.
  bool WaitForQueued() EXCLUDES(lock_);
  // The next queued collection, taken off the queue; nullptr when none.
  Values* PopQueued() EXCLUDES(lock_);

  Mutex lock_;
  std::condition_variable_any wake_;  // signalled under lock_
  // The queue's first collection, each linking the next (Values::
  // nextToFree_, written and read only under lock_).
  Values* queued_ GUARDED_BY(lock_) = nullptr;
  bool accepting_ GUARDED_BY(lock_) = false;  // Take queues
  bool stopping_ GUARDED_BY(lock_) = false;   // the thread ends once empty
  // Touched only by the thread calling Start and Stop.
  std::thread thread_;
};

}  // namespace pendrakel

#endif  // PENDRAKEL_STORE_LAZY_FREE_H_
