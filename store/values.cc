#include "store/values.h"

#include <algorithm>
#include <new>
#include <utility>

#include "store/lazy_free.h"
#include "store/value.h"
#include "store/values_ref.h"

namespace pendrakel {

namespace {

// The record of a collection, without its index. Kept small: every
// collection pays for it (a 160-byte heap block).
static_assert(sizeof(Values) <= 144);
constexpr MemoryCost kRecordCost{0, HeapBlockBytes(sizeof(Values))};

}  // namespace

ValuesRef Values::Create(MemoryBudget& budget, LazyFree* lazyFree) {
  if (!budget.Charge(kRecordCost)) return {};
  Values* values = new (std::nothrow) Values(budget, lazyFree);
  if (values == nullptr) budget.GiveBack(kRecordCost);
  return ValuesRef::Adopt(values);
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
  ReleaseInNameOrder();
  entries_.Free(budget_);
  budget_.GiveBack(kRecordCost);
}

void Values::ReleaseInNameOrder() NO_THREAD_SAFETY_ANALYSIS {
  std::vector<Value*> all;
  try {
    all.reserve(entries_.set().size());
    for (const Entry& entry : entries_.set()) all.push_back(entry.value());
    SortByName(all.begin(), all.end());
  } catch (const std::bad_alloc&) {
    all.clear();  // no room for the name order: release in index order
    for (const Entry& entry : entries_.set()) Adopt(entry.value()).reset();
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
  Entries& entries = entries_.set();
  entries.prefetch(name);
  auto it = entries.find(name);
  if (it == entries.end()) return result;
  if (it->value()->IsLive(now)) {
    result.value = ValueRef::Share(it->value(), {&budget_});
    return result;
  }
  expired = Adopt(it->value());
  Erase(it);
  result.removedExpired = true;
  return result;
}

void Values::Erase(Entries::iterator it) {
  entries_.Erase(it);
  CountEntries();
}

Values::PutOutcome Values::Put(const ValueRef& value) {
  ValueRef replaced;  // released after lock_ is given up
  MutexLock hold(lock_);
  Entries& entries = entries_.set();
  entries.prefetch(value->name());
  if (!entries_.HasRoomForOne()) {
    // A replacement needs no room; a new name may need the index to grow.
    auto it = entries.find(value->name());
    if (it != entries.end()) {
      replaced = Adopt(it->Swap(value.Share().Detach()));
      return PutOutcome::kReplaced;
    }
    if (!entries_.MakeRoomForOne(budget_)) return PutOutcome::kNoMemory;
  }
  const std::pair<Entries::iterator, bool> slot =
      entries.insert(Entry(value.get()));
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
  Entries& entries = entries_.set();
  entries.prefetch(name);
  auto it = entries.find(name);
  if (it == entries.end()) return RemoveOutcome::kAbsent;
  removed = Adopt(it->value());
  Erase(it);
  return RemoveOutcome::kRemoved;
}

void Values::CollectExpired(int64_t now, std::vector<ValueRef>& expired) {
  const size_t first = expired.size();
  {
    MutexLock hold(lock_);
    try {
      Entries& entries = entries_.set();
      for (auto it = entries.begin(); it != entries.end();) {
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
