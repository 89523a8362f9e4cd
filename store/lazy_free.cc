#include "store/lazy_free.h"

#include "store/freed_memory.h"
#include "store/values.h"

namespace pendrakel {

bool LazyFree::Start(Wake wake) {
  MutexLock hold(lock_);
  accepting_ = true;
  wake_ = wake;
  return true;
}

void LazyFree::Stop() {
  {
    MutexLock hold(lock_);
    accepting_ = false;
    wake_ = {};
  }
  DestroyQueued();
}

bool LazyFree::Take(Values* values) {
  Wake wake;
  {
    MutexLock hold(lock_);
    if (!accepting_) return false;
    values->nextToFree_ = queued_;
    queued_ = values;
    wake = wake_;
  }
  if (wake.call != nullptr) wake.call(wake.context);
  return true;
}

bool LazyFree::DestroyQueued() {
  bool destroyed = false;
  while (Values* values = PopQueued()) {
    delete values;
    destroyed = true;
  }
  if (destroyed) ReturnFreedMemory();
  return destroyed;
}

Values* LazyFree::PopQueued() {
  MutexLock hold(lock_);
  Values* values = queued_;
  if (values != nullptr) queued_ = values->nextToFree_;
  return values;
}

}  // namespace pendrakel
