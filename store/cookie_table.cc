#include "store/cookie_table.h"

#include <algorithm>
#include <bit>
#include <new>

#include "store/heap_block.h"
#include "store/idle.h"
#include "store/values.h"

namespace pendrakel {
namespace {

// Longest text a std::string holds without a block of its own.
constexpr size_t kInlineStringBytes = 15;

}  // namespace

CookieTable::~CookieTable() NO_THREAD_SAFETY_ANALYSIS {
  // No other thread is left to reach entries_.
  for (const auto& [cookie, values] : entries_) {
    budget_.GiveBack(KeyCost(cookie.size()));
  }
  budget_.GiveBack(FlatIndex<Entries>::Cost(entries_.capacity()));
}

MemoryCost CookieTable::KeyCost(size_t length) {
  if (length <= kInlineStringBytes) return {};
  return {0, HeapBlockBytes(length + 1)};
}

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
  auto it = entries_.find(cookie);
  if (it != entries_.end()) {
    it->second->Touch(now);
    return {it->second.Share(), false};
  }
  fresh = Values::Create(budget_, lazyFree_);
  if (!fresh) return {};
  fresh->Touch(now);
  if (!Enter(cookie, fresh)) return {};
  return {std::move(fresh), true};
}

CookieTable::InsertOutcome CookieTable::Insert(std::string_view cookie,
                                               const ValuesRef& values) {
  MutexLock hold(lock_);
  if (entries_.contains(cookie)) return InsertOutcome::kTaken;
  return Enter(cookie, values) ? InsertOutcome::kInserted
                               : InsertOutcome::kNoMemory;
}

// The index grows in place once the slots in use, erased ones included,
// reach 7/8 of its capacity, and a growth that runs out of memory half-way
// would leave it broken: it is grown here instead, into a new index built
// beside it, so a failure leaves the old one whole.
bool CookieTable::MakeRoomForOne() {
  const size_t capacity = entries_.capacity();
  if (entries_.size() + erased_ + 2 <= capacity - capacity / 8) return true;
  const MemoryCost cost =
      FlatIndex<Entries>::Cost(std::bit_ceil(2 * entries_.size() + 5) - 1);
  if (!budget_.Charge(cost)) return false;
  try {
    Entries bigger(2 * entries_.size() + 4);
    for (const auto& [cookie, values] : entries_)
      bigger.emplace(cookie, values.Share());
    entries_.swap(bigger);
    budget_.GiveBack(FlatIndex<Entries>::Cost(bigger.capacity()));
  } catch (const std::bad_alloc&) {
    budget_.GiveBack(cost);
    return false;  // `bigger` goes with what it holds; entries_ is whole
  }
  erased_ = 0;
  return true;
}

bool CookieTable::Enter(std::string_view cookie, const ValuesRef& values) {
  const MemoryCost keyCost = KeyCost(cookie.size());
  if (!budget_.Charge(keyCost)) return false;
  if (!MakeRoomForOne()) {
    budget_.GiveBack(keyCost);
    return false;
  }
  try {
    entries_.emplace(std::string(cookie), values.Share());
  } catch (const std::bad_alloc&) {
    budget_.GiveBack(keyCost);
    return false;  // the key's copy failed before the index changed
  }
  CountEntries();
  return true;
}

std::vector<CookieTable::Entries::iterator> CookieTable::InKeyOrder() {
  std::vector<Entries::iterator> order;
  order.reserve(entries_.size());
  for (auto it = entries_.begin(); it != entries_.end(); ++it)
    order.push_back(it);
  std::sort(order.begin(), order.end(),
            [](const Entries::iterator& a, const Entries::iterator& b) {
              return a->first < b->first;
            });
  return order;
}

void CookieTable::CollectIdle(int64_t now, int64_t idleLimit,
                              std::vector<ValuesRef>& idle) {
  MutexLock hold(lock_);
  try {
    for (const Entries::iterator& it : InKeyOrder()) {
      if (!IsIdle(it->second->lastAccess(), now, idleLimit)) continue;
      idle.emplace_back();  // room first, so a failed growth moves nothing
      idle.back() = std::move(it->second);
      budget_.GiveBack(KeyCost(it->first.size()));
      entries_.erase(it);  // erasing leaves the other iterators valid
      ++erased_;
    }
  } catch (const std::bad_alloc&) {
    // The rest waits for the next pass.
  }
  CountEntries();
}

void CookieTable::AcquireAll(std::vector<ValuesRef>& all) {
  MutexLock hold(lock_);
  try {
    for (const Entries::iterator& it : InKeyOrder())
      all.push_back(it->second.Share());
  } catch (const std::bad_alloc&) {
    // The collections not listed wait for the next pass.
  }
}

}  // namespace pendrakel
