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

CookieTable::Entry* CookieTable::Find(const Probe& probe) {
  const Index& index = index_.set();
  const auto it = index.find(probe);
  return it == index.end() ? nullptr : it->entry;
}

bool CookieTable::Enter(Entry* entry, size_t hash) {
  if (!index_.MakeRoomForOne(budget_)) return false;
  index_.set().insert(Slot{entry, hash});
  tree_.insert(*entry);
  CountEntries();
  return true;
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
  MutexLock hold(lock_);
  Entry* entry = Find(probe);
  if (entry == nullptr) return {};
  entry->values->Touch(now);
  return entry->values.Share();
}

CookieTable::AcquireResult CookieTable::AcquireOrCreate(std::string_view cookie,
                                                        int64_t now) {
  const Probe probe{cookie, Hash(cookie)};
  {
    MutexLock hold(lock_);
    if (Entry* entry = Find(probe)) {
      entry->values->Touch(now);
      return {entry->values.Share(), false};
    }
  }
  // Made outside the lock, touched before it is published; released after
  // the lock is given up when another request entered the cookie first.
  ValuesRef fresh = Values::Create(budget_, lazyFree_);
  if (!fresh) return {};
  fresh->Touch(now);
  Entry* made = MakeEntry(cookie, fresh.Share());
  if (made == nullptr) return {};
  AcquireResult result;
  {
    MutexLock hold(lock_);
    if (Entry* entry = Find(probe)) {
      entry->values->Touch(now);
      result = {entry->values.Share(), false};
    } else if (Enter(made, probe.hash)) {
      result = {std::move(fresh), true};
      made = nullptr;
    }
  }
  if (made != nullptr) FreeEntry(made);
  return result;
}

CookieTable::InsertOutcome CookieTable::Insert(std::string_view cookie,
                                               const ValuesRef& values) {
  const Probe probe{cookie, Hash(cookie)};
  Entry* made = MakeEntry(cookie, values.Share());
  if (made == nullptr) return InsertOutcome::kNoMemory;
  InsertOutcome outcome = InsertOutcome::kNoMemory;
  {
    MutexLock hold(lock_);
    if (Find(probe) != nullptr) {
      outcome = InsertOutcome::kTaken;
    } else if (Enter(made, probe.hash)) {
      outcome = InsertOutcome::kInserted;
      made = nullptr;
    }
  }
  if (made != nullptr) FreeEntry(made);
  return outcome;
}

template <typename Room, typename Visit>
void CookieTable::WalkInSlices(Room room, Visit visit) {
  Walk walk;
  {
    MutexLock hold(lock_);
    walk.next = tree_.empty() ? nullptr : &*tree_.begin();
    walk.nextWalk = walks_;
    walks_ = &walk;
  }
  for (bool going = true; going && room();) {
    {
      MutexLock hold(lock_);
      for (size_t looked = 0; looked < kWalkSliceEntries; ++looked) {
        Entry* const entry = walk.next;
        if (entry == nullptr) break;
        Tree::iterator after = tree_.iterator_to(*entry);
        ++after;
        walk.next = after == tree_.end() ? nullptr : &*after;
        visit(entry);
      }
      going = walk.next != nullptr;
    }
    if (going) std::this_thread::sleep_for(kWalkPause);
  }
  MutexLock hold(lock_);
  Walk** link = &walks_;
  while (*link != &walk) link = &(*link)->nextWalk;
  *link = walk.nextWalk;
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
