// Mutex: std::mutex with the annotations that let Clang check lock use.
// MutexLock holds a Mutex for the lifetime of a scope. SharedMutex: a lock
// that readers may hold together (WriterLock and ReaderLock hold it), for
// a table that every request reads and few change. Its readers are spread
// over slots, one per processor: a reader locks only the slot of the
// processor it runs on, so readers on different cores write different
// cache lines and never pass one back and forth; a writer locks every
// slot, and so pays once per processor for that. In each slot a waiting
// writer goes before readers that come after it, so a stream of readers
// cannot keep it out.
//
// One rule holds for every lock here: no thread ever takes one while it
// holds another, so no order between locks is needed and none can deadlock.
// Clang's analysis cannot see that across functions; debug builds check it
// at run time instead, counting the locks each thread holds (a failed
// check aborts, base/debug_check.h).
#ifndef PENDRAKEL_BASE_MUTEX_H_
#define PENDRAKEL_BASE_MUTEX_H_

#include <pthread.h>

#include <cstddef>
#include <mutex>

#include "base/debug_check.h"
#include "base/per_processor.h"
#include "base/thread_annotations.h"

namespace pendrakel {

// Counts the locks each thread holds (debug builds; nothing otherwise).
class LockDepth {
 public:
  static int Held() {
#if PK_DEBUG_CHECKS
    return held_;
#else
    return 0;
#endif
  }
#if PK_DEBUG_CHECKS
  static void WillLock() {
    PK_DCHECK(held_ == 0);  // no lock is taken under another
    ++held_;
  }
  static void Unlocked() { --held_; }

 private:
  // Initial-exec: a module loaded with dlopen then reaches the count without
  // asking the dynamic linker (whose lazy allocation of thread storage the
  // thread sanitizer cannot follow on a host's fiber stacks).
  static inline thread_local int held_
      __attribute__((tls_model("initial-exec"))) = 0;
#else
  static void WillLock() {}
  static void Unlocked() {}
#endif
};

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  // REQUIRES: the calling thread holds no lock.
  void Lock() ACQUIRE() {
    LockDepth::WillLock();
    mutex_.lock();
  }
  void Unlock() RELEASE() {
    mutex_.unlock();
    LockDepth::Unlocked();
  }
  // The same under the standard names, so that a std::condition_variable_any
  // can give the mutex up while it waits.
  void lock() ACQUIRE() { Lock(); }
  void unlock() RELEASE() { Unlock(); }

  // Locks the calling thread holds (debug builds; 0 otherwise).
  static int HeldByThisThread() { return LockDepth::Held(); }

 private:
  std::mutex mutex_;
};

class CAPABILITY("mutex") SharedMutex {
 public:
  SharedMutex() {
    pthread_rwlockattr_t attributes;
    pthread_rwlockattr_init(&attributes);
    pthread_rwlockattr_setkind_np(&attributes,
                                  PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
    for (size_t i = 0; i < slots_.size(); ++i)
      pthread_rwlock_init(&slots_[i], &attributes);
    pthread_rwlockattr_destroy(&attributes);
  }
  ~SharedMutex() {
    for (size_t i = 0; i < slots_.size(); ++i)
      pthread_rwlock_destroy(&slots_[i]);
  }
  SharedMutex(const SharedMutex&) = delete;
  SharedMutex& operator=(const SharedMutex&) = delete;

  // REQUIRES (both): the calling thread holds no lock.
  // Locks every slot, in order: two writers cannot deadlock.
  void Lock() ACQUIRE() {
    LockDepth::WillLock();
    for (size_t i = 0; i < slots_.size(); ++i)
      pthread_rwlock_wrlock(&slots_[i]);
  }
  // Locks the slot of the processor the caller runs on and returns it, for
  // UnlockShared (the thread may have moved by then).
  size_t LockShared() ACQUIRE_SHARED() {
    LockDepth::WillLock();
    const size_t slot = slots_.ThisSlot();
    pthread_rwlock_rdlock(&slots_[slot]);
    return slot;
  }
  void Unlock() RELEASE() {
    for (size_t i = slots_.size(); i-- > 0;) pthread_rwlock_unlock(&slots_[i]);
    LockDepth::Unlocked();
  }
  void UnlockShared(size_t slot) RELEASE_SHARED() {
    pthread_rwlock_unlock(&slots_[slot]);
    LockDepth::Unlocked();
  }

 private:
  PerProcessor<pthread_rwlock_t> slots_;  // each processor's reader lock
};

// Holds a lock alone for the lifetime of a scope: MutexLock a Mutex,
// WriterLock a SharedMutex.
template <typename Lockable>
class SCOPED_CAPABILITY ExclusiveLock {
 public:
  explicit ExclusiveLock(Lockable& mutex) ACQUIRE(mutex) : mutex_(mutex) {
    mutex_.Lock();
  }
  ~ExclusiveLock() RELEASE() { mutex_.Unlock(); }
  ExclusiveLock(const ExclusiveLock&) = delete;
  ExclusiveLock& operator=(const ExclusiveLock&) = delete;

 private:
  Lockable& mutex_;
};
using MutexLock = ExclusiveLock<Mutex>;
using WriterLock = ExclusiveLock<SharedMutex>;

class SCOPED_CAPABILITY ReaderLock {
 public:
  explicit ReaderLock(SharedMutex& mutex) ACQUIRE_SHARED(mutex)
      : mutex_(mutex), slot_(mutex.LockShared()) {}
  ~ReaderLock() RELEASE_GENERIC() { mutex_.UnlockShared(slot_); }
  ReaderLock(const ReaderLock&) = delete;
  ReaderLock& operator=(const ReaderLock&) = delete;

 private:
  SharedMutex& mutex_;
  const size_t slot_;
};

}  // namespace pendrakel

#endif  // PENDRAKEL_BASE_MUTEX_H_
