#include "store/change_queue.h"

#include <cstring>
#include <new>

namespace pendrakel {

Change* Change::Make(Kind kind, uint64_t id, int64_t time, ValueRef value,
                     std::string_view text) {
  void* block = ::operator new(sizeof(Change) + text.size(), std::nothrow);
  if (block == nullptr) return nullptr;
  auto* change =
      new (block) Change(kind, id, time, std::move(value), text.size());
  if (!text.empty())
    std::memcpy(static_cast<char*>(block) + sizeof(Change), text.data(),
                text.size());
  return change;
}

Change* Change::MakePut(uint64_t collection, ValueRef value) {
  return Make(Kind::kPut, collection, 0, std::move(value), {});
}

Change* Change::MakeRemove(uint64_t collection, std::string_view name) {
  return Make(Kind::kRemove, collection, 0, {}, name);
}

Change* Change::MakeCollection(Kind kind, uint64_t id, std::string_view cookie,
                               int64_t lastAccess) {
  return Make(kind, id, lastAccess, {}, cookie);
}

Change* Change::MakeDrop(uint64_t id) {
  return Make(Kind::kDrop, id, 0, {}, {});
}

void Change::Release() {
  // acq_rel: the deleting thread sees what the other holder did.
  if (holders_.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  this->~Change();
  ::operator delete(this);
}

SyncTicket& SyncTicket::operator=(SyncTicket&& other) noexcept {
  if (this != &other) {
    reset();
    change_ = std::exchange(other.change_, nullptr);
    queue_ = other.queue_;
  }
  return *this;
}

bool SyncTicket::Wait() { return queue_->WaitKept(*change_); }

void SyncTicket::reset() {
  if (Change* change = std::exchange(change_, nullptr)) change->Release();
}

ChangeQueue::~ChangeQueue() {
  for (Change* change = TakeAll(); change != nullptr;) {
    Change* next = change->next;
    change->Release();
    change = next;
  }
}

bool ChangeQueue::Push(ChangePtr change, SyncTicket* ticket) {
  Change* pushed = change.release();
  if (ticket != nullptr && answerWhenSynced_) {
    pushed->holders_.fetch_add(1, std::memory_order_relaxed);
    *ticket = SyncTicket(pushed, this);
  }
  Change* top = top_.load(std::memory_order_relaxed);
  do {
    pushed->next = top;
    // seq_cst, like the load of idle_ after it and the writer's store of
    // idle_ before it looks at top_: one of the two sees the other.
  } while (!top_.compare_exchange_weak(top, pushed, std::memory_order_seq_cst,
                                       std::memory_order_relaxed));
  return idle_.load(std::memory_order_seq_cst);
}

void ChangeQueue::Wake() {
  MutexLock hold(mutex_);
  woken_ = true;
  wake_.notify_one();
}

Change* ChangeQueue::TakeAll() {
  Change* top = top_.exchange(nullptr, std::memory_order_acquire);
  // The stack holds the newest first: reversed, it is the push order.
  Change* ordered = nullptr;
  while (top != nullptr) {
    Change* next = top->next;
    top->next = ordered;
    ordered = top;
    top = next;
  }
  return ordered;
}

bool ChangeQueue::WaitForChanges(std::chrono::steady_clock::time_point deadline,
                                 bool wakeOnPush) {
  MutexLock hold(mutex_);
  if (wakeOnPush) {
    idle_.store(true, std::memory_order_seq_cst);
    if (top_.load(std::memory_order_seq_cst) != nullptr) woken_ = true;
  }
  while (!woken_ && !stopping_) {
    if (wake_.wait_until(mutex_, deadline) == std::cv_status::timeout) break;
  }
  idle_.store(false, std::memory_order_relaxed);
  woken_ = false;
  return !stopping_;
}

void ChangeQueue::Stop() {
  MutexLock hold(mutex_);
  stopping_ = true;
  wake_.notify_one();
}

void ChangeQueue::Settle(Change* list, const Change* end, bool kept) {
  if (!answerWhenSynced_) return;  // nobody waits
  bool told = false;
  for (Change* change = list; change != end; change = change->next) {
    Change::Outcome pending = Change::Outcome::kPending;
    told |= change->outcome_.compare_exchange_strong(
        pending, kept ? Change::Outcome::kKept : Change::Outcome::kFailed,
        std::memory_order_release, std::memory_order_relaxed);
  }
  if (!told) return;
  { MutexLock hold(settleMutex_); }
  settled_.notify_all();
}

bool ChangeQueue::WaitKept(Change& change) {
  MutexLock hold(settleMutex_);
  for (;;) {
    const Change::Outcome outcome =
        change.outcome_.load(std::memory_order_acquire);
    if (outcome != Change::Outcome::kPending)
      return outcome == Change::Outcome::kKept;
    settled_.wait(settleMutex_);
  }
}

}  // namespace pendrakel
