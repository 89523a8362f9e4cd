// The two background collectors: one pass of each as a plain function, and
// the two threads that run passes.
//
// The idle pass drops whole collections nobody has resolved for the idle
// limit: it removes them from the cookie table and renews an idle shared
// collection. The expiry pass drops expired values from every collection.
// Each pass is a function of `now`, so that it can be driven directly, and
// returns what it dropped; counting is left to the caller. Collectors runs
// two given passes on threads of its own.
//
// Locks (store/README.md): a pass holds at most one lock at a time (the
// cookie table lock, one Values lock, the shared pointer's lock) and
// releases, and so frees, only after giving it up.
#ifndef PENDRAKEL_STORE_COLLECTORS_H_
#define PENDRAKEL_STORE_COLLECTORS_H_

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <thread>

#include "base/mutex.h"

namespace pendrakel {

class CookieTable;
class LazyFree;
class SharedValues;

// Time between the passes of each collector thread (the idle collector,
// the expiry collector); the sleep comes first.
inline constexpr std::chrono::milliseconds kIdlePassPeriod{60'000};
inline constexpr std::chrono::milliseconds kExpiryPassPeriod{300'000};
// Entries of one collection the expiry pass looks at per hold of its lock
// (about 0.1 ms), with the cookie table's walk pause between two holds.
inline constexpr size_t kExpirySliceEntries = 4096;

// What one idle pass dropped.
struct IdleDrop {
  size_t collections = 0;      // cookie collections dropped
  bool sharedRenewed = false;  // the shared collection was dropped and renewed
};

// One idle pass at `now`. An idle limit of 0 turns it off. REQUIRES: the
// caller holds no lock (what the pass drops is released here).
IdleDrop DropIdleCollections(int64_t now, int64_t idleLimit,
                             CookieTable& cookies, SharedValues& shared);

// One expiry pass at `now`. Returns the number of values dropped.
// REQUIRES: the caller holds no lock.
size_t DropExpiredValues(int64_t now, CookieTable& cookies,
                         SharedValues& shared);

// The two collector threads. Start and Stop are called by one thread (the
// extension's start-up and shut-down); whatever the passes given to Start
// use must outlive Stop.
//
// The idle collector also destroys the large collections queued on the
// lazy free, when given one: a hand-over wakes it from its sleep, it
// destroys the queue and sleeps on towards the same deadline, so the
// passes keep their schedule. So the collectors are the only threads the
// store runs. Both run at the scheduler's batch class: waking one does not
// preempt the request thread that woke it.
class Collectors {
 public:
  // One pass; returns how much it dropped.
  using Pass = std::function<size_t()>;

  Collectors() = default;
  ~Collectors() { Stop(); }
  Collectors(const Collectors&) = delete;
  Collectors& operator=(const Collectors&) = delete;

  // Starts both threads, the idle collector first, and has `lazyFree` (if
  // given) take collections for the idle collector to destroy. False when a
  // thread cannot be started; whatever was started is stopped again.
  // REQUIRES: called by start-up; whatever the passes use, and `lazyFree`,
  // outlive Stop.
  bool Start(Pass idlePass, Pass expiryPass, LazyFree* lazyFree = nullptr)
      EXCLUDES(mutex_);
  // Signals both threads to stop and waits for them, then stops the lazy
  // free, destroying what it still holds on the calling thread. The threads
  // stop between passes, never inside one, and a sleeping thread wakes at
  // once. Does nothing when no thread runs.
  void Stop() EXCLUDES(mutex_);

 private:
  // What ended a sleep.
  enum class Woken { kDeadline, kLazyFree, kStopped };

  // The idle collector: `pass` every kIdlePassPeriod, and the lazy free's
  // queue whenever it is woken for it.
  void RunIdle(const Pass& pass) EXCLUDES(mutex_);
  // The expiry collector: `pass` every kExpiryPassPeriod.
  void RunExpiry(const Pass& pass) EXCLUDES(mutex_);
  // Runs `pass`, handing memory back after a pass that dropped something.
  static void RunPass(const Pass& pass);
  // Sleeps until `deadline`, until stopped, or, when `lazy`, until a
  // collection is handed to the lazy free.
  Woken SleepUntil(std::chrono::steady_clock::time_point deadline, bool lazy)
      EXCLUDES(mutex_);
  // Wakes the idle collector for the lazy free's queue (LazyFree::Wake).
  static void WakeForLazyFree(void* collectors) EXCLUDES(mutex_);

  Mutex mutex_;
  std::condition_variable_any wake_;  // signalled under mutex_
  bool stopping_ GUARDED_BY(mutex_) = false;
  bool lazyFreeQueued_ GUARDED_BY(mutex_) = false;
  // Touched only by the thread calling Start and Stop, and read by the idle
  // collector between them.
  LazyFree* lazyFree_ = nullptr;
  std::thread idleThread_;
  std::thread expiryThread_;
};

}  // namespace pendrakel

#endif  // PENDRAKEL_STORE_COLLECTORS_H_
