#include "store/cookie_table.h"

#include <new>

#include "store/idle.h"
#include "store/values.h"

namespace pendrakel {

ValuesRef CookieTable::Acquire(std::string_view cookie, int64_t now) {
  MutexLock hold(lock_);
  auto it = entries_.find(cookie);
  if (it == entries_.end()) return {};
  it->second->Touch(now);
  return it->second.Share();
}

CookieTable::AcquireResult CookieTable::AcquireOrCreate(std::string_view cookie,
                                                        int64_t now) {
  ValuesRef fresh;  // released after lock_ is given up when not entered
  MutexLock hold(lock_);
  auto it = entries_.lower_bound(cookie);
  if (it != entries_.end() && it->first == cookie) {
    it->second->Touch(now);
    return {it->second.Share(), false};
  }
  fresh = Values::Create(budget_, lazyFree_);
  if (!fresh) return {};
  fresh->Touch(now);
  try {
    entries_.emplace_hint(it, std::string(cookie), fresh.Share());
  } catch (const std::bad_alloc&) {
    return {};
  }
  CountEntries();
  return {std::move(fresh), true};
}

CookieTable::InsertOutcome CookieTable::Insert(std::string_view cookie,
                                               const ValuesRef& values) {
  MutexLock hold(lock_);
  auto it = entries_.lower_bound(cookie);
  if (it != entries_.end() && it->first == cookie) {
    return InsertOutcome::kTaken;
  }
  try {
    entries_.emplace_hint(it, std::string(cookie), values.Share());
  } catch (const std::bad_alloc&) {
    return InsertOutcome::kNoMemory;
  }
  CountEntries();
  return InsertOutcome::kInserted;
}

void CookieTable::CollectIdle(int64_t now, int64_t idleLimit,
                              std::vector<ValuesRef>& idle) {
  MutexLock hold(lock_);
  try {
    for (auto it = entries_.begin(); it != entries_.end();) {
      if (!IsIdle(it->second->lastAccess(), now, idleLimit)) {
        ++it;
        continue;
      }
      idle.emplace_back();  // room first, so a failed growth moves nothing
      idle.back() = std::move(it->second);
      it = entries_.erase(it);
    }
  } catch (const std::bad_alloc&) {
    // The rest waits for the next pass.
  }
  CountEntries();
}

void CookieTable::AcquireAll(std::vector<ValuesRef>& all) {
  MutexLock hold(lock_);
  try {
    for (auto& [cookie, values] : entries_) all.push_back(values.Share());
  } catch (const std::bad_alloc&) {
    // The collections not listed wait for the next pass.
  }
}

}  // namespace pendrakel
