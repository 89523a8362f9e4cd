#include "store/values.h"

#include <new>

#include "store/value.h"

namespace pendrakel {

Values* Values::Create(MemoryBudget& budget) {
  return new (std::nothrow) Values(budget);
}

void Values::Release() {
  if (refCount_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

Values::~Values() NO_THREAD_SAFETY_ANALYSIS {
  // The last holder is gone: no other thread can reach entries_.
  for (auto& [name, value] : entries_) value->Release(budget_);
}

Values::GetResult Values::Get(std::string_view name, int64_t now) {
  Value* expired = nullptr;
  GetResult result;
  {
    MutexLock hold(lock_);
    auto it = entries_.find(name);
    if (it == entries_.end()) return result;
    if (it->second->IsLive(now)) {
      it->second->AddRef();
      result.value = it->second;
      return result;
    }
    expired = it->second;
    entries_.erase(it);
    CountEntries();
  }
  expired->Release(budget_);
  result.removedExpired = true;
  return result;
}

Values::PutOutcome Values::Put(std::string_view name, Value* value) {
  Value* replaced = nullptr;
  value->AddRef();
  {
    MutexLock hold(lock_);
    auto it = entries_.lower_bound(name);
    if (it == entries_.end() || it->first != name) {
      entries_.emplace_hint(it, std::string(name), value);
      CountEntries();
      return PutOutcome::kCreated;
    }
    replaced = it->second;
    it->second = value;
  }
  replaced->Release(budget_);
  return PutOutcome::kReplaced;
}

Values::RemoveOutcome Values::Remove(std::string_view name) {
  Value* removed = nullptr;
  {
    MutexLock hold(lock_);
    auto it = entries_.find(name);
    if (it == entries_.end()) return RemoveOutcome::kAbsent;
    removed = it->second;
    entries_.erase(it);
    CountEntries();
  }
  removed->Release(budget_);
  return RemoveOutcome::kRemoved;
}

void Values::CollectExpired(int64_t now, std::vector<Value*>& expired) {
  MutexLock hold(lock_);
  for (auto it = entries_.begin(); it != entries_.end();) {
    if (it->second->IsLive(now)) {
      ++it;
      continue;
    }
    expired.push_back(it->second);
    it = entries_.erase(it);
  }
  CountEntries();
}

}  // namespace pendrakel
