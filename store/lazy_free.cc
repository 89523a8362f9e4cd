#include "store/lazy_free.h"

#include <pthread.h>
#include <sched.h>

#include <system_error>

#include "store/freed_memory.h"
#include "store/values.h"

namespace pendrakel {

bool LazyFree::Start() {
  Stop();
  {
    MutexLock hold(lock_);
    stopping_ = false;
  }
  try {
    thread_ = std::thread([this] { Run(); });
  } catch (const std::system_error&) {
    return false;
  }
  MutexLock hold(lock_);
  accepting_ = true;
  return true;
}

void LazyFree::Stop() {
  {
    MutexLock hold(lock_);
    accepting_ = false;
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

bool LazyFree::Take(Values* values) {
  {
    MutexLock hold(lock_);
    if (!accepting_) return false;
    values->nextToFree_ = queued_;
    queued_ = values;
  }
  wake_.notify_one();
  return true;
}

void LazyFree::Run() {
  // A batch thread does not preempt the thread that wakes it: the releasing
  // request goes on at once, and the destruction takes its fair share after.
  const sched_param batch{};
  pthread_setschedparam(pthread_self(), SCHED_BATCH, &batch);
  while (WaitForQueued()) {
    while (Values* values = PopQueued()) delete values;
    ReturnFreedMemory();
  }
}

bool LazyFree::WaitForQueued() {
  MutexLock hold(lock_);
  // The wait gives lock_ up and takes it back before it returns.
  while (queued_ == nullptr && !stopping_) wake_.wait(lock_);
  return queued_ != nullptr;
}

Values* LazyFree::PopQueued() {
  MutexLock hold(lock_);
  Values* values = queued_;
  if (values != nullptr) queued_ = values->nextToFree_;
  return values;
}

}  // namespace pendrakel
