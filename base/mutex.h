// Mutex: std::mutex with the annotations that let Clang check lock use.
// MutexLock holds a Mutex for the lifetime of a scope.
//
// One rule holds for every Mutex: no thread ever takes one while it holds
// another, so no order between locks is needed and none can deadlock.
// Clang's analysis cannot see that across functions; debug builds check it
// at run time instead, counting the Mutexes each thread holds (a failed
// check aborts, base/debug_check.h).
#ifndef PENDRAKEL_BASE_MUTEX_H_
#define PENDRAKEL_BASE_MUTEX_H_

#include <mutex>

#include "base/debug_check.h"
#include "base/thread_annotations.h"

namespace pendrakel {

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  // REQUIRES: the calling thread holds no Mutex.
  void Lock() ACQUIRE() {
    WillLock();
    mutex_.lock();
  }
  void Unlock() RELEASE() {
    mutex_.unlock();
    Unlocked();
  }
  // The same under the standard names, so that a std::condition_variable_any
  // can give the mutex up while it waits.
  void lock() ACQUIRE() { Lock(); }
  void unlock() RELEASE() { Unlock(); }

  // Mutexes the calling thread holds (debug builds; 0 otherwise).
  static int HeldByThisThread() {
#if PK_DEBUG_CHECKS
    return held_;
#else
    return 0;
#endif
  }

 private:
#if PK_DEBUG_CHECKS
  void WillLock() {
    PK_DCHECK(held_ == 0);  // no lock is taken under another
    ++held_;
  }
  void Unlocked() { --held_; }
  // Initial-exec: a module loaded with dlopen then reaches the count without
  // asking the dynamic linker (whose lazy allocation of thread storage the
  // thread sanitizer cannot follow on a host's fiber stacks).
  static inline thread_local int held_
      __attribute__((tls_model("initial-exec"))) = 0;
#else
  void WillLock() {}
  void Unlocked() {}
#endif

  std::mutex mutex_;
};

class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) {
    mutex_.Lock();
  }
  ~MutexLock() RELEASE() { mutex_.Unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mutex_;
};

}  // namespace pendrakel

#endif  // PENDRAKEL_BASE_MUTEX_H_
