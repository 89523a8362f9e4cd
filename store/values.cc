#include "store/values.h"

#include <algorithm>
#include <functional>
#include <new>
#include <utility>

#include "store/change_queue.h"
#include "store/lazy_free.h"
#include "store/value.h"
#include "store/values_ref.h"

namespace pendrakel {

namespace {

// The record of a collection, without its index. Kept small: every
// collection pays for it (a 160-byte heap block).
static_assert(sizeof(Values) <= 152);
constexpr MemoryCost kRecordCost{0, HeapBlockBytes(sizeof(Values))};

// Restarts after which a slice walk takes the rest of a collection whole,
// so that a collection whose index keeps being built anew is still walked.
constexpr int kMaxSliceRestarts = 3;

}  // namespace

ValuesRef Values::Create(MemoryBudget& budget, LazyFree* lazyFree,
                         ChangeQueue* changes) {
  if (!budget.Charge(kRecordCost)) return {};
  Values* values = new (std::nothrow) Values(budget, lazyFree);
  if (values == nullptr) {
    budget.GiveBack(kRecordCost);
  } else if (changes != nullptr) {
    values->RecordChanges(*changes, changes->NewCollectionId());
  }
  return ValuesRef::Adopt(values);
}

bool Values::Refused() const {
  return changes_ != nullptr && !changes_->Accepting();
}

bool Values::Record(Change* change, ValueRef& previous, SyncTicket* ticket) {
  if (changes_->answerWhenSynced()) {
    change->KeepUndo(ValuesRef::Share(this), std::move(previous));
  }
  return changes_->Push(ChangePtr(change), ticket);
}

void Values::WakeWriter() const { changes_->Wake(); }

bool Values::MakeRoom() {
  if (entries_.HasRoomForOne()) return true;
  if (!entries_.MakeRoomForOne(budget_)) return false;
  ++indexBuilds_;
  return true;
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

Values::PutOutcome Values::Put(const ValueRef& value, SyncTicket* ticket) {
  ChangePtr change;  // made before the lock, released after it
  if (changes_ != nullptr) {
    change.reset(Change::MakePut(id_, value.Share()));
    if (!change) return PutOutcome::kNoMemory;
  }
  ValueRef replaced;  // released after lock_ is given up
  PutOutcome outcome;
  bool wake = false;
  {
    MutexLock hold(lock_);
    if (Refused()) return PutOutcome::kNotKept;
    outcome = Insert(value, replaced);
    if (outcome == PutOutcome::kNoMemory) return outcome;
    if (change) wake = Record(change.release(), replaced, ticket);
  }
  if (wake) WakeWriter();
  return outcome;
}

Values::PutOutcome Values::Insert(const ValueRef& value, ValueRef& replaced) {
  Entries& entries = entries_.set();
  entries.prefetch(value->name());
  if (!entries_.HasRoomForOne()) {
    // A replacement needs no room; a new name may need the index to grow.
    auto it = entries.find(value->name());
    if (it != entries.end()) {
      replaced = Adopt(it->Swap(value.Share().Detach()));
      return PutOutcome::kReplaced;
    }
    if (!MakeRoom()) return PutOutcome::kNoMemory;
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

Values::RemoveOutcome Values::Remove(std::string_view name,
                                     SyncTicket* ticket) {
  ChangePtr change;  // made before the lock, released after it
  if (changes_ != nullptr) {
    change.reset(Change::MakeRemove(id_, name));
    if (!change) return RemoveOutcome::kNoMemory;
  }
  ValueRef removed;  // released after lock_ is given up
  bool wake = false;
  {
    MutexLock hold(lock_);
    Entries& entries = entries_.set();
    entries.prefetch(name);
    auto it = entries.find(name);
    if (it == entries.end()) return RemoveOutcome::kAbsent;
    if (Refused()) return RemoveOutcome::kNotKept;
    removed = Adopt(it->value());
    Erase(it);
    if (change) wake = Record(change.release(), removed, ticket);
  }
  if (wake) WakeWriter();
  return RemoveOutcome::kRemoved;
}

void Values::Restore(std::string_view name, const ValueRef& previous) {
  ChangePtr change(previous ? Change::MakePut(id_, previous.Share())
                            : Change::MakeRemove(id_, name));
  if (!change) return;
  ValueRef undone;  // released after lock_ is given up
  MutexLock hold(lock_);
  Entries& entries = entries_.set();
  auto it = entries.find(name);
  if (it == entries.end()) {
    if (!previous || !MakeRoom()) return;
    entries.insert(Entry(previous.Share().Detach()));
    CountEntries();
  } else if (!previous) {
    undone = Adopt(it->value());
    Erase(it);
  } else if (it->value() != previous.get()) {
    undone = Adopt(it->Swap(previous.Share().Detach()));
  } else {
    return;
  }
  // Pushed even while changes are refused: the journal must end as memory
  // does. The writer itself restores, so nobody needs to be woken.
  changes_->Push(std::move(change));
}

bool Values::Slice(SliceCursor& cursor, size_t most, int64_t now,
                   std::vector<ValueRef>& out) {
  if (cursor.done) return false;
  // Past its restarts a walk takes as much as the list has room for.
  const bool whole = cursor.restarts >= kMaxSliceRestarts;
  out.reserve(out.size() + (whole ? size() + most : most));
  const ValueRef resumed = std::move(cursor.next);  // released after lock_
  MutexLock hold(lock_);
  auto it = Resume(cursor, resumed);
  for (size_t looked = 0; it != entries_.set().end(); ++it, ++looked) {
    if (whole ? out.size() == out.capacity() : looked == most) break;
    if (it->value()->IsLive(now))
      out.push_back(ValueRef::Share(it->value(), {&budget_}));
  }
  Pause(cursor, it);
  return true;
}

bool Values::CollectExpired(SliceCursor& cursor, size_t most, int64_t now,
                            std::vector<ValueRef>& expired) {
  if (cursor.done) return false;
  const size_t first = expired.size();
  const bool whole = cursor.restarts >= kMaxSliceRestarts;
  try {
    expired.reserve(first + (whole ? size() + most : most));
  } catch (const std::bad_alloc&) {
    return false;  // the rest waits for the next pass
  }
  {
    const ValueRef resumed = std::move(cursor.next);  // released after lock_
    MutexLock hold(lock_);
    Entries& entries = entries_.set();
    auto it = Resume(cursor, resumed);
    for (size_t looked = 0; it != entries.end(); ++looked) {
      if (whole ? expired.size() == expired.capacity() : looked == most) break;
      if (it->value()->IsLive(now)) {
        ++it;
        continue;
      }
      expired.push_back(Adopt(it->value()));  // within the room reserved
      Erase(it++);
    }
    Pause(cursor, it);
    CountEntries();
  }
  SortByName(expired.begin() + static_cast<std::ptrdiff_t>(first),
             expired.end());
  return true;
}

Values::Entries::iterator Values::Resume(SliceCursor& cursor,
                                         const ValueRef& resumed) {
  auto it = entries_.set().begin();
  if (cursor.nextSlot != nullptr) {
    if (cursor.indexBuilds == indexBuilds_) {
      it = Resume(cursor.nextSlot, *resumed);
    } else {
      ++cursor.restarts;  // built anew: its order is another
    }
  }
  cursor.indexBuilds = indexBuilds_;
  return it;
}

void Values::Pause(SliceCursor& cursor, Entries::iterator it) {
  if (it == entries_.set().end()) {
    cursor.done = true;
  } else {
    cursor.nextSlot = &*it;
    cursor.next = ValueRef::Share(it->value(), {&budget_});
  }
}

Values::Entries::iterator Values::Resume(const void* slot, const Value& next) {
  Entries& entries = entries_.set();
  auto it = entries.find(next.name());
  if (it != entries.end() && &*it == slot) return it;
  // Gone, or entered again elsewhere: the walk goes on with the first entry
  // placed after it (the index walks its slots in the order they lie).
  const std::less<const void*> before;
  for (it = entries.begin(); it != entries.end() && before(&*it, slot); ++it) {
  }
  return it;
}

}  // namespace pendrakel
