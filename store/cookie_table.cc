#include "store/cookie_table.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <thread>
#include <utility>

#include "store/idle.h"
#include "store/values.h"

namespace pendrakel {

namespace {

// Makes sure `list` can take `more` elements without growing; growing it
// here, by doubling, keeps the walks' appends linear. False when memory for
// it cannot be had.
template <typename T>
bool MakeRoom(std::vector<T>& list, size_t more) {
  if (list.capacity() - list.size() >= more) return true;
  try {
    list.reserve(std::max(2 * list.capacity(), list.size() + more));
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

}  // namespace

bool CookieTable::SlotEq::operator()(const Slot& slot,
                                     const Probe& probe) const {
  return slot.hash == probe.hash && slot.entry->key() == probe.key;
}

CookieTable::~CookieTable() NO_THREAD_SAFETY_ANALYSIS {
  // No other thread is left to reach the table.
  while (!tree_.empty()) {
    Entry& first = *tree_.begin();
    tree_.erase(tree_.begin());
    FreeEntry(&first);
  }
  index_.Free(budget_);
}

CookieTable::Entry* CookieTable::MakeEntry(std::string_view cookie,
                                           ValuesRef values) {
  static_assert(sizeof(Entry) == 36, "the key follows its length at once");
  if (cookie.size() > UINT32_MAX) return nullptr;
  const MemoryCost cost = Entry::Cost(cookie.size());
  if (!budget_.Charge(cost)) return nullptr;
  void* block = ::operator new(sizeof(Entry) + cookie.size(), std::nothrow);
  if (block == nullptr) {
    budget_.GiveBack(cost);
    return nullptr;
  }
  auto* entry = new (block)
      Entry(std::move(values), static_cast<uint32_t>(cookie.size()));
  if (!cookie.empty()) {
    std::memcpy(static_cast<char*>(block) + sizeof(Entry), cookie.data(),
                cookie.size());
  }
  return entry;
}

void CookieTable::FreeEntry(Entry* entry) {
  const MemoryCost cost = Entry::Cost(entry->keyBytes);
  entry->~Entry();  // releases the handle, if it still holds one
  ::operator delete(entry);
  budget_.GiveBack(cost);
}

CookieTable::Entry* CookieTable::Find(const Probe& probe) const {
  const Index& index = index_.set();
  const auto it = index.find(probe);
  return it == index.end() ? nullptr : it->entry;
}

bool CookieTable::MakeEntered(const Entry& entry, int64_t now,
                              ChangePtr& record) const {
  if (changes_ == nullptr) return true;
  record.reset(Change::MakeCollection(Change::Kind::kCookieCollection,
                                      entry.values->id(), entry.key(), now));
  return record != nullptr;
}

bool CookieTable::Enter(Entry* entry, size_t hash, ChangePtr& record,
                        bool& wake) {
  if (!index_.MakeRoomForOne(budget_)) return false;
  index_.set().insert(Slot{entry, hash});
  tree_.insert(*entry);
  CountEntries();
  if (entry->keyBytes > longestKey_.load(std::memory_order_relaxed))
    longestKey_.store(entry->keyBytes, std::memory_order_relaxed);
  if (record) wake = changes_->Push(std::move(record));
  return true;
}

void CookieTable::RecordLeft(const std::vector<Entry*>& left) {
  if (changes_ == nullptr || left.empty()) return;
  bool wake = false;
  for (const Entry* entry : left) {
    // Without memory for the record the collection is still gone here; the
    // files learn it when the loader finds it idle.
    if (Change* drop = Change::MakeDrop(entry->values->id()))
      wake |= changes_->Push(ChangePtr(drop));
  }
  if (wake) changes_->Wake();
}

void CookieTable::Remove(Entry* entry) {
  const Tree::iterator at = tree_.iterator_to(*entry);
  Tree::iterator after = at;
  ++after;
  Entry* const successor = after == tree_.end() ? nullptr : &*after;
  for (Walk* walk = walks_; walk != nullptr; walk = walk->nextWalk) {
    if (walk->next == entry) walk->next = successor;
  }
  tree_.erase(at);
  index_.Erase(index_.set().find(Slot{entry, Hash(entry->key())}));
  CountEntries();
}

ValuesRef CookieTable::Acquire(std::string_view cookie, int64_t now) {
  const Probe probe{cookie, Hash(cookie)};
  ReaderLock hold(lock_);
  Entry* entry = Find(probe);
  if (entry == nullptr) return {};
  entry->values->Touch(now);
  return entry->values.Share();
}

CookieTable::AcquireResult CookieTable::AcquireOrCreate(std::string_view cookie,
                                                        int64_t now) {
  const Probe probe{cookie, Hash(cookie)};
  {
    ReaderLock hold(lock_);
    if (Entry* entry = Find(probe)) {
      entry->values->Touch(now);
      return {entry->values.Share(), false};
    }
  }
  // Made outside the lock, touched before it is published; released after
  // the lock is given up when another request entered the cookie first.
  ValuesRef fresh = Values::Create(budget_, lazyFree_, changes_);
  if (!fresh) return {};
  fresh->Touch(now);
  Entry* made = MakeEntry(cookie, fresh.Share());
  if (made == nullptr) return {};
  ChangePtr record;
  AcquireResult result;
  bool wake = false;
  if (MakeEntered(*made, now, record)) {
    WriterLock hold(lock_);
    if (Entry* entry = Find(probe)) {
      entry->values->Touch(now);
      result = {entry->values.Share(), false};
    } else if (Enter(made, probe.hash, record, wake)) {
      result = {std::move(fresh), true};
      made = nullptr;
    }
  }
  if (wake) changes_->Wake();
  if (made != nullptr) FreeEntry(made);
  return result;
}

CookieTable::InsertOutcome CookieTable::Insert(std::string_view cookie,
                                               const ValuesRef& values) {
  const Probe probe{cookie, Hash(cookie)};
  Entry* made = MakeEntry(cookie, values.Share());
  if (made == nullptr) return InsertOutcome::kNoMemory;
  ChangePtr record;
  InsertOutcome outcome = InsertOutcome::kNoMemory;
  bool wake = false;
  if (MakeEntered(*made, values->lastAccess(), record)) {
    WriterLock hold(lock_);
    if (Find(probe) != nullptr) {
      outcome = InsertOutcome::kTaken;
    } else if (Enter(made, probe.hash, record, wake)) {
      outcome = InsertOutcome::kInserted;
      made = nullptr;
    }
  }
  if (wake) changes_->Wake();
  if (made != nullptr) FreeEntry(made);
  return outcome;
}

void CookieTable::CollectIdle(int64_t now, int64_t idleLimit,
                              std::vector<ValuesRef>& idle) {
  // The entries taken out, in key order: the walk goes that way.
  std::vector<Entry*> taken;
  WalkInSlices(
      [&] {
        return MakeRoom(taken, kWalkSliceEntries) &&
               MakeRoom(idle, taken.size() + kWalkSliceEntries);
      },
      [&](Entry* entry) NO_THREAD_SAFETY_ANALYSIS {
        // Under lock_, as every touch is.
        if (!IsIdle(entry->values->lastAccess(), now, idleLimit)) return;
        Remove(entry);
        taken.push_back(entry);
      });
  RecordLeft(taken);
  for (Entry* entry : taken) {
    idle.push_back(std::move(entry->values));
    FreeEntry(entry);
  }
}

void CookieTable::AcquireAll(std::vector<ValuesRef>& all) {
  WalkInSlices([&] { return MakeRoom(all, kWalkSliceEntries); },
               [&](Entry* entry) { all.push_back(entry->values.Share()); });
}

}  // namespace pendrakel
