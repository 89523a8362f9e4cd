#include "store/collectors.h"

#include <new>
#include <system_error>
#include <vector>

#include "store/cookie_table.h"
#include "store/freed_memory.h"
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
  std::vector<ValuesRef> idle;
  idle.reserve(cookies.size());
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
    expired.reserve(values->size());
    values->CollectExpired(now, expired);
    collected += expired.size();
    expired.clear();  // released here, outside every lock
  }
  return collected;
}

bool Collectors::Start(Pass idlePass, Pass expiryPass) {
  Stop();
  {
    MutexLock hold(mutex_);
    stopping_ = false;
  }
  try {
    idleThread_ = std::thread([this, pass = std::move(idlePass)] {
      RunPasses(kIdlePassPeriod, pass);
    });
    expiryThread_ = std::thread([this, pass = std::move(expiryPass)] {
      RunPasses(kExpiryPassPeriod, pass);
    });
  } catch (const std::system_error&) {
    Stop();
    return false;
  }
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
}

void Collectors::RunPasses(std::chrono::milliseconds period, const Pass& pass) {
  while (Sleep(period)) {
    size_t dropped = 0;
    try {
      dropped = pass();
    } catch (const std::bad_alloc&) {
      // Out of memory for a pass's lists: what it held has been released;
      // the next pass tries again.
    }
    if (dropped > 0) ReturnFreedMemory();
  }
}

bool Collectors::Sleep(std::chrono::milliseconds period) {
  const auto deadline = std::chrono::steady_clock::now() + period;
  MutexLock hold(mutex_);
  while (!stopping_) {
    // The wait gives mutex_ up and takes it back before it returns.
    if (wake_.wait_until(mutex_, deadline) == std::cv_status::timeout) {
      return !stopping_;
    }
  }
  return false;
}

}  // namespace pendrakel
