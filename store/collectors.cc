#include "store/collectors.h"

#include <malloc.h>

#include <system_error>
#include <vector>

#include "store/cookie_table.h"
#include "store/shared_values.h"
#include "store/value.h"
#include "store/values.h"

namespace pendrakel {

IdleDrop DropIdleCollections(int64_t now, int64_t idleLimit,
                             CookieTable& cookies, SharedValues& shared) {
  IdleDrop drop;
  if (idleLimit == 0) return drop;
  std::vector<Values*> idle;
  idle.reserve(cookies.size());
  cookies.CollectIdle(now, idleLimit, idle);
  for (Values* values : idle) values->Release();
  drop.collections = idle.size();
  drop.sharedRenewed = shared.ReplaceIfIdle(now, idleLimit);
  return drop;
}

size_t DropExpiredValues(int64_t now, CookieTable& cookies,
                         SharedValues& shared) {
  size_t collected = 0;
  std::vector<Values*> all;
  all.reserve(cookies.size() + 1);
  cookies.AcquireAll(all);
  if (Values* current = shared.AcquireUntouched()) all.push_back(current);
  std::vector<Value*> expired;
  for (Values* values : all) {
    expired.clear();
    expired.reserve(values->size());
    values->CollectExpired(now, expired);
    collected += expired.size();
    for (Value* value : expired) value->Release(values->budget());
  }
  for (Values* values : all) values->Release();
  return collected;
}

void ReturnFreedMemory() { malloc_trim(0); }

bool Collectors::Start(Pass idlePass, Pass expiryPass) {
  Stop();
  {
    MutexLock hold(mutex_);
    stopping_ = false;
  }
  try {
    valuesCollector_ = std::thread([this, pass = std::move(idlePass)] {
      RunPasses(kValuesCollectorPeriod, pass);
    });
    valueCollector_ = std::thread([this, pass = std::move(expiryPass)] {
      RunPasses(kValueCollectorPeriod, pass);
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
  if (valuesCollector_.joinable()) valuesCollector_.join();
  if (valueCollector_.joinable()) valueCollector_.join();
}

void Collectors::RunPasses(std::chrono::milliseconds period, const Pass& pass) {
  while (Sleep(period)) {
    if (pass() > 0) ReturnFreedMemory();
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
