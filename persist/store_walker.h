// StoreWalker: what the journal's writer thread reads of the store itself,
// besides the queued changes: the collections' last-access times, and the
// live collections and values for a snapshot.
//
// Implementations take the store's locks briefly and never across a file
// operation (the writer writes after they return). Called on the writer
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

class StoreWalker {
 public:
  virtual ~StoreWalker() = default;

  // Appends the last access of every collection whose last access moved
  // since it was last appended; of every collection when `all`.
  virtual void AppendTouches(std::vector<TouchRecord>& touches, bool all) = 0;

  // Starts a walk over every live collection and its values.
  virtual void BeginSnapshot() = 0;
  // Adds the walk's next slice to `batch`: collection records, and put
  // records for at most kSnapshotSliceValues values, keeping in `held` a
  // handle on each value whose bytes the batch points at, and counting what
  // it added in `counts`. False, adding nothing, once the walk is done.
  virtual bool NextSnapshotSlice(RecordBatch& batch,
                                 std::vector<ValueRef>& held,
                                 EndRecord& counts) = 0;
};

}  // namespace pendrakel

#endif  // PENDRAKEL_PERSIST_STORE_WALKER_H_
