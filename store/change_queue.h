// ChangeQueue: the store's changes on their way to a journal, in the order
// the store made them. Only present when persistence is on; without it the
// store's objects hold a null pointer and do none of this.
//
// A Change is one change: a value stored (holding a reference on the
// immutable value, so nothing is copied) or removed, a collection entered
// under a cookie or as the shared one, a collection dropped. It is made
// before the lock that orders the change is taken (it may fail for lack of
// memory, and then the change is refused), and pushed inside that same hold
// of the lock, so that the queue's order is the order the store's indexes
// took the changes (store/README.md).
//
// Ownership: a Change made with Make* belongs to its ChangePtr until Push
// hands it to the queue; from TakeAll on it belongs to the writer, which
// deletes it with Release once it is written and synced. A request that
// waits for its change to be synced holds a second count (SyncTicket).
// When only synced changes are answered, a store's or delete's change also
// holds its collection and what it replaced or removed, so that the writer
// can undo it if it cannot be synced (Values::Restore). Releasing a change
// may release the last handle on a value or a collection: it is done with
// no lock held.
//
// Thread safety: Push may be called from any thread, under any lock: it is
// one compare-and-swap, with no lock, allocation or system call. Wake takes
// mutex_, and a SyncTicket's Wait settleMutex_: both are called with no
// other lock held, and nothing else is taken under either. TakeAll,
// WaitForChanges and Settle are the one writer thread's. The collection id
// counter and the accepting flag are atomics.
#ifndef PENDRAKEL_STORE_CHANGE_QUEUE_H_
#define PENDRAKEL_STORE_CHANGE_QUEUE_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <string_view>

#include "base/mutex.h"
#include "store/value_ref.h"
#include "store/values_ref.h"

namespace pendrakel {

class Change {
 public:
  enum class Kind : uint8_t {
    kCookieCollection,  // id entered under `text`, last access `time`
    kSharedCollection,  // id made the shared collection, last access `time`
    kDrop,              // id dropped
    kPut,               // `value` stored in collection id
    kRemove,            // the value named `text` removed from collection id
  };
  // What became of a change, as a waiting request learns it.
  enum class Outcome : uint8_t { kPending, kKept, kFailed };

  // Each yields null when memory for the change cannot be had.
  static Change* MakePut(uint64_t collection, ValueRef value);
  static Change* MakeRemove(uint64_t collection, std::string_view name);
  static Change* MakeCollection(Kind kind, uint64_t id, std::string_view cookie,
                                int64_t lastAccess);
  static Change* MakeDrop(uint64_t id);

  Change(const Change&) = delete;
  Change& operator=(const Change&) = delete;

  Kind kind() const { return kind_; }
  uint64_t id() const { return id_; }
  int64_t time() const { return time_; }
  const ValueRef& value() const { return value_; }
  // What undoes a store or delete: its collection (empty when not kept)
  // and the value it replaced or removed (empty when there was none).
  const ValuesRef& owner() const { return owner_; }
  const ValueRef& previous() const { return previous_; }
  // REQUIRES: the change is not pushed yet.
  void KeepUndo(ValuesRef owner, ValueRef previous) {
    owner_ = std::move(owner);
    previous_ = std::move(previous);
  }
  std::string_view text() const {
    return {reinterpret_cast<const char*>(this + 1), textLength_};
  }

  // The writer's link: the queue's order, then its list of changes not yet
  // synced.
  Change* next = nullptr;

  // Drops one count; the last deletes the change (and its value reference).
  void Release();

 private:
  friend class ChangeQueue;
  friend class SyncTicket;

  Change(Kind kind, uint64_t id, int64_t time, ValueRef value, size_t length)
      : kind_(kind),
        id_(id),
        time_(time),
        value_(std::move(value)),
        textLength_(length) {}
  ~Change() = default;
  static Change* Make(Kind kind, uint64_t id, int64_t time, ValueRef value,
                      std::string_view text);

  const Kind kind_;
  const uint64_t id_;
  const int64_t time_;
  ValueRef value_;
  ValuesRef owner_;
  ValueRef previous_;
  const size_t textLength_;          // bytes of text, stored after the record
  std::atomic<int32_t> holders_{1};  // the queue or writer, plus a waiter
  std::atomic<Outcome> outcome_{Outcome::kPending};
};

struct ChangeRelease {
  void operator()(Change* change) const { change->Release(); }
};
// A change not yet pushed.
using ChangePtr = std::unique_ptr<Change, ChangeRelease>;

class ChangeQueue;

// A request's hold on its change, to wait until the writer has synced it.
// Move-only; empty when the change is not waited for.
class SyncTicket {
 public:
  SyncTicket() = default;
  SyncTicket(SyncTicket&& other) noexcept
      : change_(std::exchange(other.change_, nullptr)), queue_(other.queue_) {}
  SyncTicket& operator=(SyncTicket&& other) noexcept;
  SyncTicket(const SyncTicket&) = delete;
  SyncTicket& operator=(const SyncTicket&) = delete;
  ~SyncTicket() { reset(); }

  explicit operator bool() const { return change_ != nullptr; }
  // Waits until the writer has synced the change (true) or failed to
  // (false). REQUIRES: not empty; no lock held.
  bool Wait();
  void reset();

 private:
  friend class ChangeQueue;
  SyncTicket(Change* change, ChangeQueue* queue)
      : change_(change), queue_(queue) {}

  Change* change_ = nullptr;
  ChangeQueue* queue_ = nullptr;
};

class ChangeQueue {
 public:
  // `answerWhenSynced`: requests wait for their change to be synced (the
  // always promise) and wake the writer for it.
  explicit ChangeQueue(bool answerWhenSynced)
      : answerWhenSynced_(answerWhenSynced) {}
  // Releases every change still queued.
  ~ChangeQueue();
  ChangeQueue(const ChangeQueue&) = delete;
  ChangeQueue& operator=(const ChangeQueue&) = delete;

  bool answerWhenSynced() const { return answerWhenSynced_; }

  // A collection id not used before in this store's files.
  uint64_t NewCollectionId() {
    return nextId_.fetch_add(1, std::memory_order_relaxed);
  }
  // Start-up only: ids go on after `highest`, the largest one loaded.
  void StartIdsAfter(uint64_t highest) {
    nextId_.store(highest + 1, std::memory_order_relaxed);
  }

  // False while writing fails: stores and deletes are refused then.
  bool Accepting() const { return accepting_.load(std::memory_order_acquire); }
  void SetAccepting(bool accepting) {
    accepting_.store(accepting, std::memory_order_release);
  }

  // Appends `change`. REQUIRES: called in the hold of the lock that made
  // the change. With `ticket`, the caller also gets a hold on the change to
  // wait for it (only when answerWhenSynced). Returns whether Wake must be
  // called once that lock is given up.
  bool Push(ChangePtr change, SyncTicket* ticket = nullptr);
  // Wakes the writer if it sleeps. REQUIRES: no lock held.
  void Wake() EXCLUDES(mutex_);

  // The writer: every change pushed so far, in push order, linked through
  // `next`; nullptr when none.
  Change* TakeAll();
  // The writer: sleeps until `deadline` or Stop, or, with `wakeOnPush`,
  // until a change is pushed; returns at once when `wakeOnPush` and changes
  // are queued. False once stopping.
  bool WaitForChanges(std::chrono::steady_clock::time_point deadline,
                      bool wakeOnPush) EXCLUDES(mutex_);
  // Makes WaitForChanges return false from now on.
  void Stop() EXCLUDES(mutex_);
  // The writer: tells the waiters of the changes in `list` (linked through
  // `next`, up to `end`) whether they were kept. A change is told once.
  // Does nothing unless requests wait (answerWhenSynced).
  void Settle(Change* list, const Change* end, bool kept);

 private:
  friend class SyncTicket;
  bool WaitKept(Change& change) EXCLUDES(settleMutex_);

  const bool answerWhenSynced_;
  std::atomic<Change*> top_{nullptr};  // the stack of pushed changes
  std::atomic<uint64_t> nextId_{1};
  std::atomic<bool> accepting_{true};
  // Set by the writer while it sleeps with nothing to do: the next push
  // must wake it.
  std::atomic<bool> idle_{false};
  // Waiting requests sleep on settled_ until their change's outcome is
  // set; Settle takes settleMutex_ after setting outcomes and before
  // signalling, so that no waiter misses the signal.
  Mutex settleMutex_;
  std::condition_variable_any settled_;
  Mutex mutex_;
  std::condition_variable_any wake_;  // signalled under mutex_
  bool woken_ GUARDED_BY(mutex_) = false;
  bool stopping_ GUARDED_BY(mutex_) = false;
};

}  // namespace pendrakel

#endif  // PENDRAKEL_STORE_CHANGE_QUEUE_H_
