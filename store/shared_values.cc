#include "store/shared_values.h"

#include "store/idle.h"
#include "store/values.h"

namespace pendrakel {

bool SharedValues::Start() {
  Values* fresh = Values::Create(budget_);
  if (fresh == nullptr) return false;
  Values* old;
  {
    MutexLock hold(lock_);
    old = current_;
    current_ = fresh;
  }
  if (old != nullptr) old->Release();
  return true;
}

void SharedValues::Stop() {
  Values* old;
  {
    MutexLock hold(lock_);
    old = current_;
    current_ = nullptr;
  }
  if (old != nullptr) old->Release();
}

Values* SharedValues::Acquire(int64_t now) {
  MutexLock hold(lock_);
  if (current_ == nullptr) return nullptr;
  current_->AddRef();
  current_->Touch(now);
  return current_;
}

Values* SharedValues::AcquireUntouched() {
  MutexLock hold(lock_);
  if (current_ != nullptr) current_->AddRef();
  return current_;
}

bool SharedValues::ReplaceIfIdle(int64_t now, int64_t idleLimit) {
  {
    MutexLock hold(lock_);
    if (current_ == nullptr || !IsIdle(current_->lastAccess(), now, idleLimit))
      return false;
  }
  // Made outside the lock; the test is repeated before the swap because a
  // request may have touched the collection meanwhile.
  Values* fresh = Values::Create(budget_);
  if (fresh == nullptr) return false;
  Values* dropped = fresh;  // not replaced after all: drop the fresh one
  bool replaced = false;
  {
    MutexLock hold(lock_);
    if (current_ != nullptr && IsIdle(current_->lastAccess(), now, idleLimit)) {
      dropped = current_;
      current_ = fresh;
      replaced = true;
    }
  }
  dropped->Release();
  return replaced;
}

}  // namespace pendrakel
