#include "store/cookie_table.h"

#include "store/idle.h"
#include "store/values.h"

namespace pendrakel {

CookieTable::~CookieTable() NO_THREAD_SAFETY_ANALYSIS {
  // Module unload: no request and no collector runs any more.
  for (auto& [cookie, values] : entries_) values->Release();
}

Values* CookieTable::Acquire(std::string_view cookie, int64_t now) {
  MutexLock hold(lock_);
  auto it = entries_.find(cookie);
  if (it == entries_.end()) return nullptr;
  it->second->AddRef();
  it->second->Touch(now);
  return it->second;
}

CookieTable::AcquireResult CookieTable::AcquireOrCreate(std::string_view cookie,
                                                        int64_t now) {
  MutexLock hold(lock_);
  auto it = entries_.lower_bound(cookie);
  if (it != entries_.end() && it->first == cookie) {
    it->second->AddRef();
    it->second->Touch(now);
    return {it->second, false};
  }
  Values* values = Values::Create(budget_);
  if (values == nullptr) return {};
  values->AddRef();  // one for the table, one for the caller
  values->Touch(now);
  entries_.emplace_hint(it, std::string(cookie), values);
  CountEntries();
  return {values, true};
}

bool CookieTable::Insert(std::string_view cookie, Values* values) {
  MutexLock hold(lock_);
  auto it = entries_.lower_bound(cookie);
  if (it != entries_.end() && it->first == cookie) return false;
  values->AddRef();
  entries_.emplace_hint(it, std::string(cookie), values);
  CountEntries();
  return true;
}

void CookieTable::CollectIdle(int64_t now, int64_t idleLimit,
                              std::vector<Values*>& idle) {
  MutexLock hold(lock_);
  for (auto it = entries_.begin(); it != entries_.end();) {
    if (!IsIdle(it->second->lastAccess(), now, idleLimit)) {
      ++it;
      continue;
    }
    idle.push_back(it->second);
    it = entries_.erase(it);
  }
  CountEntries();
}

void CookieTable::AcquireAll(std::vector<Values*>& all) {
  MutexLock hold(lock_);
  for (auto& [cookie, values] : entries_) {
    values->AddRef();
    all.push_back(values);
  }
}

}  // namespace pendrakel
