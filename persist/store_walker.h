// StoreWalker: what the journal's writer thread reads of the store itself,
// besides the queued changes: the collections' last-access times, and the
// live collections and values for a snapshot.
//
// Implementations take the store's locks briefly and never across a file
// operation: the snapshot hands its records to a SnapshotSink between
// slices, with no lock held, and the sink writes. Called on the writer
// thread only.
#ifndef PENDRAKEL_PERSIST_STORE_WALKER_H_
#define PENDRAKEL_PERSIST_STORE_WALKER_H_

#include <vector>

#include "persist/format.h"
#include "store/value_ref.h"

namespace pendrakel {

class RecordBatch;

// Values a snapshot slice takes under one hold of a collection's lock.
inline constexpr size_t kSnapshotSliceValues = 4096;

// Where a snapshot goes: the batch its records are added to, the handles
// on the values whose bytes the batch points at, and what it counted.
class SnapshotSink {
 public:
  virtual ~SnapshotSink() = default;

  virtual RecordBatch& batch() = 0;
  // Keeps `value` referenced until the batch that points at it is written.
  virtual void Hold(ValueRef value) = 0;
  EndRecord& counts() { return counts_; }
  // Called after each slice, with no store lock held: writes the batch
  // when it has grown, serves the store's changes meanwhile. False: the
  // snapshot is given up.
  virtual bool BetweenSlices() = 0;

 private:
  EndRecord counts_;
};

class StoreWalker {
 public:
  virtual ~StoreWalker() = default;

  // Appends the last access of every collection whose last access moved
  // since it was last appended; of every collection when `all`.
  virtual void AppendTouches(std::vector<TouchRecord>& touches, bool all) = 0;

  // Adds every live collection and value to `sink`, in slices: collection
  // records, and put records for at most kSnapshotSliceValues values per
  // slice. False when the sink gave up.
  virtual bool Snapshot(SnapshotSink& sink) = 0;
};

}  // namespace pendrakel

#endif  // PENDRAKEL_PERSIST_STORE_WALKER_H_
