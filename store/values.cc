#include "store/values.h"

#include <algorithm>
#include <new>
#include <utility>

#include "store/lazy_free.h"
#include "store/value.h"
#include "store/values_ref.h"

namespace pendrakel {

ValuesRef Values::Create(MemoryBudget& budget, LazyFree* lazyFree) {
  return ValuesRef::Adopt(new (std::nothrow) Values(budget, lazyFree));
}

void Values::Release() {
  if (!refCount_.Drop()) return;
  if (lazyFree_ != nullptr && size() >= kLazyFreeMinEntries &&
      lazyFree_->Take(this)) {
    return;
  }
  delete this;
}

Values::~Values() NO_THREAD_SAFETY_ANALYSIS {
  // The last holder is gone: no other thread can reach entries_.
  std::vector<Value*> all;
  try {
    all.reserve(entries_.size());
    for (const Entry& entry : entries_) all.push_back(entry.value());
    SortByName(all.begin(), all.end());
  } catch (const std::bad_alloc&) {
    all.clear();  // no room for the name order: release in index order
    for (const Entry& entry : entries_) Adopt(entry.value()).reset();
    return;
  }
  for (Value* value : all) Adopt(value).reset();
}

template <typename Iterator>
void Values::SortByName(Iterator first, Iterator last) {
  std::sort(first, last,
            [](const auto& a, const auto& b) { return a->name() < b->name(); });
}

Values::GetResult Values::Get(std::string_view name, int64_t now) {
  GetResult result;
  ValueRef expired;  // released after lock_ is given up
  MutexLock hold(lock_);
  // In a large collection the index's control bytes and its slots are both
  // out of cache: asked for together, their misses overlap.
  entries_.prefetch(name);
  auto it = entries_.find(name);
  if (it == entries_.end()) return result;
  if (it->value()->IsLive(now)) {
    result.value = ValueRef::Share(it->value(), {&budget_});
    return result;
  }
  expired = Adopt(it->value());
  Erase(it);
  result.removedExpired = true;
  return result;
}

bool Values::MakeRoomForOne() {
  // The index grows in place once the slots in use, erased ones included,
  // reach 7/8 of its capacity; this stays one slot short of that.
  const size_t capacity = entries_.capacity();
  if (entries_.size() + erased_ + 2 <= capacity - capacity / 8) return true;
  try {
    // Twice the entries: the inserts below never grow it in place.
    Entries bigger(2 * entries_.size() + 4);
    for (const Entry& entry : entries_) bigger.insert(entry);
    entries_.swap(bigger);
  } catch (const std::bad_alloc&) {
    return false;  // a table whose construction failed leaves nothing behind
  }
  erased_ = 0;
  return true;
}

void Values::Erase(Entries::iterator it) {
  entries_.erase(it);
  ++erased_;
  CountEntries();
}

Values::PutOutcome Values::Put(const ValueRef& value) {
  ValueRef replaced;  // released after lock_ is given up
  MutexLock hold(lock_);
  entries_.prefetch(value->name());
  if (!MakeRoomForOne()) return PutOutcome::kNoMemory;
  const std::pair<Entries::iterator, bool> slot =
      entries_.insert(Entry(value.get()));
  // The entry's own reference, taken once the entry is in the index.
  Value* owned = value.Share().Detach();
  if (slot.second) {
    CountEntries();
    return PutOutcome::kCreated;
  }
  replaced = Adopt(slot.first->Swap(owned));
  return PutOutcome::kReplaced;
}

Values::RemoveOutcome Values::Remove(std::string_view name) {
  ValueRef removed;  // released after lock_ is given up
  MutexLock hold(lock_);
  entries_.prefetch(name);
  auto it = entries_.find(name);
  if (it == entries_.end()) return RemoveOutcome::kAbsent;
  removed = Adopt(it->value());
  Erase(it);
  return RemoveOutcome::kRemoved;
}

void Values::CollectExpired(int64_t now, std::vector<ValueRef>& expired) {
  const size_t first = expired.size();
  {
    MutexLock hold(lock_);
    try {
      for (auto it = entries_.begin(); it != entries_.end();) {
        if (it->value()->IsLive(now)) {
          ++it;
          continue;
        }
        // Made in place once there is room, so a failed growth adopts
        // nothing and the entry stays.
        expired.emplace_back();
        expired.back() = Adopt(it->value());
        Erase(it++);
      }
    } catch (const std::bad_alloc&) {
      // The rest waits for the next pass.
    }
    CountEntries();
  }
  SortByName(expired.begin() + static_cast<std::ptrdiff_t>(first),
             expired.end());
}

}  // namespace pendrakel
