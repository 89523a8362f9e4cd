#include "store/shared_values.h"

#include <utility>

#include "store/idle.h"
#include "store/values.h"

namespace pendrakel {

bool SharedValues::Start() {
  ValuesRef fresh = Values::Create(budget_, lazyFree_);
  if (!fresh) return false;
  WriterLock hold(lock_);
  // The old collection, if any, leaves in `fresh` after lock_ is given up.
  std::swap(current_, fresh);
  return true;
}

void SharedValues::Stop() {
  ValuesRef old;  // released after lock_ is given up
  WriterLock hold(lock_);
  std::swap(current_, old);
}

bool SharedValues::RecordChanges(ChangeQueue& changes) {
  changes_ = &changes;
  WriterLock hold(lock_);
  if (!current_ || current_->id() != 0) return true;
  const uint64_t id = changes.NewCollectionId();
  ChangePtr record(Change::MakeCollection(Change::Kind::kSharedCollection, id,
                                          {}, current_->lastAccess()));
  if (!record) return false;
  current_->RecordChanges(changes, id);
  Record(record);  // the writer is not running yet
  return true;
}

void SharedValues::Install(ValuesRef loaded) {
  WriterLock hold(lock_);
  // The collection made at start-up leaves in `loaded` after lock_.
  std::swap(current_, loaded);
}

bool SharedValues::Record(ChangePtr& record) {
  return changes_->Push(std::move(record));
}

ValuesRef SharedValues::Acquire(int64_t now) {
  ReaderLock hold(lock_);
  if (!current_) return {};
  current_->Touch(now);
  return current_.Share();
}

ValuesRef SharedValues::AcquireUntouched() {
  ReaderLock hold(lock_);
  return current_.Share();
}

bool SharedValues::ReplaceIfIdle(int64_t now, int64_t idleLimit) {
  {
    WriterLock hold(lock_);
    if (!current_ || !IsIdle(current_->lastAccess(), now, idleLimit))
      return false;
  }
  // Made outside the lock; the test is repeated before the swap because a
  // request may have touched the collection meanwhile.
  ValuesRef fresh = Values::Create(budget_, lazyFree_, changes_);
  if (!fresh) return false;
  ChangePtr record;
  if (changes_ != nullptr) {
    record.reset(Change::MakeCollection(Change::Kind::kSharedCollection,
                                        fresh->id(), {}, 0));
    if (!record) return false;
  }
  bool wake = false;
  {
    // Whichever collection ends up in `fresh` is released after lock_ is
    // given up: the old one when replaced, else the fresh one.
    WriterLock hold(lock_);
    if (!current_ || !IsIdle(current_->lastAccess(), now, idleLimit)) {
      return false;
    }
    std::swap(current_, fresh);
    if (record) wake = Record(record);
  }
  if (wake) changes_->Wake();
  return true;
}

}  // namespace pendrakel
