#include "store/collectors.h"

#include <malloc.h>

#include <system_error>
#include <vector>

#include "config/settings.h"
#include "request/counters.h"
#include "store/cookie_table.h"
#include "store/shared_values.h"
#include "store/value.h"
#include "store/values.h"

namespace pendrakel {

size_t CollectIdleValues(int64_t now, int64_t idleLimit, CookieTable& cookies,
                         SharedValues& shared, Counters& counters) {
  if (idleLimit == 0) return 0;
  std::vector<Values*> idle;
  idle.reserve(cookies.size());
  cookies.CollectIdle(now, idleLimit, idle);
  for (Values* values : idle) {
    values->Release();
    Count(counters.ValuesCollect);
  }
  if (!shared.ReplaceIfIdle(now, idleLimit)) return idle.size();
  Count(counters.ValuesCreate);
  Count(counters.ValuesCollect);
  return idle.size() + 1;
}

size_t CollectExpiredValues(int64_t now, CookieTable& cookies,
                            SharedValues& shared, Counters& counters) {
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
    for (Value* value : expired) {
      value->Release(values->budget());
      Count(counters.ValueCollect);
    }
  }
  for (Values* values : all) values->Release();
  return collected;
}

void ReturnFreedMemory() { malloc_trim(0); }

bool Collectors::Start(CookieTable& cookies, SharedValues& shared,
                       Counters& counters, const Settings& settings,
                       Clock clock) {
  Stop();
  {
    std::lock_guard<std::mutex> hold(mutex_);
    stopping_ = false;
  }
  try {
    valuesCollector_ =
        std::thread([=, this, &cookies, &shared, &counters, &settings] {
          RunPasses(kValuesCollectorPeriod, [&] {
            return CollectIdleValues(clock(), settings.IdleLimit, cookies,
                                     shared, counters);
          });
        });
    valueCollector_ = std::thread([=, this, &cookies, &shared, &counters] {
      RunPasses(kValueCollectorPeriod, [&] {
        return CollectExpiredValues(clock(), cookies, shared, counters);
      });
    });
  } catch (const std::system_error&) {
    Stop();
    return false;
  }
  return true;
}

void Collectors::Stop() {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (valuesCollector_.joinable()) valuesCollector_.join();
  if (valueCollector_.joinable()) valueCollector_.join();
}

template <typename Pass>
void Collectors::RunPasses(std::chrono::milliseconds period, Pass pass) {
  while (Sleep(period)) {
    if (pass() > 0) ReturnFreedMemory();
  }
}

bool Collectors::Sleep(std::chrono::milliseconds period) {
  std::unique_lock<std::mutex> hold(mutex_);
  return !wake_.wait_for(hold, period, [this] { return stopping_; });
}

}  // namespace pendrakel
