#include "store/collectors.h"

#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "store/batch_class.h"
#include "store/cookie_table.h"
#include "store/freed_memory.h"
#include "store/lazy_free.h"
#include "store/shared_values.h"
#include "store/value.h"
#include "store/value_ref.h"
#include "store/values.h"
#include "store/values_ref.h"

namespace pendrakel {

IdleDrop DropIdleCollections(int64_t now, int64_t idleLimit,
                             CookieTable& cookies, SharedValues& shared) {
  IdleDrop drop;
  if (idleLimit == 0) return drop;
  std::vector<ValuesRef> idle;  // grows as the walk finds idle ones
  cookies.CollectIdle(now, idleLimit, idle);
  drop.collections = idle.size();
  idle.clear();  // the last handles: the collections go here
  drop.sharedRenewed = shared.ReplaceIfIdle(now, idleLimit);
  return drop;
}

size_t DropExpiredValues(int64_t now, CookieTable& cookies,
                         SharedValues& shared) {
  size_t collected = 0;
  std::vector<ValuesRef> all;
  all.reserve(cookies.size() + 1);
  cookies.AcquireAll(all);
  if (ValuesRef current = shared.AcquireUntouched()) {
    all.push_back(std::move(current));
  }
  std::vector<ValueRef> expired;
  for (const ValuesRef& values : all) {
    Values::SliceCursor cursor;
    while (values->CollectExpired(cursor, kExpirySliceEntries, now, expired)) {
      collected += expired.size();
      expired.clear();  // released here, outside every lock
      if (!cursor.done) std::this_thread::sleep_for(kWalkPause);
    }
  }
  return collected;
}

bool Collectors::Start(Pass idlePass, Pass expiryPass, LazyFree* lazyFree) {
  Stop();
  {
    MutexLock hold(mutex_);
    stopping_ = false;
    lazyFreeQueued_ = false;
  }
  lazyFree_ = lazyFree;
  try {
    idleThread_ =
        std::thread([this, pass = std::move(idlePass)] { RunIdle(pass); });
    expiryThread_ =
        std::thread([this, pass = std::move(expiryPass)] { RunExpiry(pass); });
  } catch (const std::system_error&) {
    Stop();
    return false;
  }
  if (lazyFree_ != nullptr) lazyFree_->Start({&WakeForLazyFree, this});
  return true;
}

void Collectors::Stop() {
  {
    MutexLock hold(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (idleThread_.joinable()) idleThread_.join();
  if (expiryThread_.joinable()) expiryThread_.join();
  if (lazyFree_ != nullptr) lazyFree_->Stop();
  lazyFree_ = nullptr;
}

void Collectors::WakeForLazyFree(void* collectors) {
  auto* self = static_cast<Collectors*>(collectors);
  {
    MutexLock hold(self->mutex_);
    self->lazyFreeQueued_ = true;
  }
  self->wake_.notify_all();
}

void Collectors::RunIdle(const Pass& pass) {
  RunAtBatchClass();
  auto deadline = std::chrono::steady_clock::now() + kIdlePassPeriod;
  for (;;) {
    switch (SleepUntil(deadline, /*lazy=*/true)) {
      case Woken::kStopped:
        return;
      case Woken::kLazyFree:
        // Destroyed at once; the next pass stays where it was due.
        lazyFree_->DestroyQueued();
        break;
      case Woken::kDeadline:
        RunPass(pass);
        deadline = std::chrono::steady_clock::now() + kIdlePassPeriod;
        break;
    }
  }
}

void Collectors::RunExpiry(const Pass& pass) {
  RunAtBatchClass();
  for (;;) {
    const auto deadline = std::chrono::steady_clock::now() + kExpiryPassPeriod;
    if (SleepUntil(deadline, /*lazy=*/false) == Woken::kStopped) return;
    RunPass(pass);
  }
}

void Collectors::RunPass(const Pass& pass) {
  size_t dropped = 0;
  try {
    dropped = pass();
  } catch (const std::bad_alloc&) {
    // Out of memory for a pass's lists: what it held has been released;
    // the next pass tries again.
  }
  if (dropped > 0) ReturnFreedMemory();
}

Collectors::Woken Collectors::SleepUntil(
    std::chrono::steady_clock::time_point deadline, bool lazy) {
  MutexLock hold(mutex_);
  for (;;) {
    if (stopping_) return Woken::kStopped;
    if (lazy && lazyFreeQueued_) {
      lazyFreeQueued_ = false;
      return Woken::kLazyFree;
    }
    // The wait gives mutex_ up and takes it back before it returns.
    if (wake_.wait_until(mutex_, deadline) == std::cv_status::timeout) {
      return stopping_ ? Woken::kStopped : Woken::kDeadline;
    }
  }
}

}  // namespace pendrakel
