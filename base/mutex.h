// Mutex: std::mutex with the annotations that let Clang check lock use.
// MutexLock holds a Mutex for the lifetime of a scope.
#ifndef PENDRAKEL_BASE_MUTEX_H_
#define PENDRAKEL_BASE_MUTEX_H_

#include <mutex>

#include "base/thread_annotations.h"

namespace pendrakel {

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock() ACQUIRE() { mutex_.lock(); }
  void Unlock() RELEASE() { mutex_.unlock(); }
  // The same under the standard names, so that a std::condition_variable_any
  // can give the mutex up while it waits.
  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }

 private:
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
