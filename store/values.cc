#include "store/values.h"

#include <algorithm>
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
  std::vector<Value*> all(entries_.begin(), entries_.end());
  SortByName(all.begin(), all.end());
  for (Value* value : all) value->Release(budget_);
}

void Values::SortByName(std::vector<Value*>::iterator first,
                        std::vector<Value*>::iterator last) {
  std::sort(first, last, [](const Value* a, const Value* b) {
    return a->name() < b->name();
  });
}

Values::GetResult Values::Get(std::string_view name, int64_t now) {
  Value* expired = nullptr;
  GetResult result;
  {
    MutexLock hold(lock_);
    auto it = entries_.find(name);
    if (it == entries_.end()) return result;
    if ((*it)->IsLive(now)) {
      (*it)->AddRef();
      result.value = *it;
      return result;
    }
    expired = *it;
    entries_.erase(it);
    CountEntries();
  }
  expired->Release(budget_);
  result.removedExpired = true;
  return result;
}

Values::PutOutcome Values::Put(Value* value) {
  Value* replaced = nullptr;
  value->AddRef();
  {
    MutexLock hold(lock_);
    auto [it, inserted] = entries_.insert(value);
    if (inserted) {
      CountEntries();
      return PutOutcome::kCreated;
    }
    replaced = *it;
    // The new value has the same name, so it belongs in the same slot.
    const_cast<Value*&>(*it) = value;
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
    removed = *it;
    entries_.erase(it);
    CountEntries();
  }
  removed->Release(budget_);
  return RemoveOutcome::kRemoved;
}

void Values::CollectExpired(int64_t now, std::vector<Value*>& expired) {
  const size_t first = expired.size();
  {
    MutexLock hold(lock_);
    for (auto it = entries_.begin(); it != entries_.end();) {
      if ((*it)->IsLive(now)) {
        ++it;
        continue;
      }
      expired.push_back(*it);
      entries_.erase(it++);
    }
    CountEntries();
  }
  SortByName(expired.begin() + first, expired.end());
}

}  // namespace pendrakel
