// SnapshotFile: a snapshot being written. It is written as
// snapshot.G.partial and becomes snapshot.G only once it is complete and
// synced, so a snapshot.G is never torn.
//
// Ownership: owns the descriptor and the batch; REQUIRES: the values whose
// data was added to the batch stay referenced until the next Flush.
// Threads: one at a time (the writer thread).
#ifndef PENDRAKEL_PERSIST_SNAPSHOT_FILE_H_
#define PENDRAKEL_PERSIST_SNAPSHOT_FILE_H_

#include <cstdint>
#include <memory>
#include <string>

#include "persist/format.h"
#include "persist/record_batch.h"

namespace pendrakel {

class DataFolder;

class SnapshotFile {
 public:
  // Creates snapshot.G.partial (replacing one left by a crash) with its
  // header in the batch. Null with `why`.
  static std::unique_ptr<SnapshotFile> Create(const DataFolder& folder,
                                              uint64_t generation,
                                              std::string& why);
  // Removes the partial file unless Finish succeeded.
  ~SnapshotFile();
  SnapshotFile(const SnapshotFile&) = delete;
  SnapshotFile& operator=(const SnapshotFile&) = delete;

  // Where the caller adds the collection and put records.
  RecordBatch& batch() { return batch_; }
  // Writes what the batch holds and clears it; 0 or the errno.
  int Flush();
  // Adds the end record, writes, syncs, renames to snapshot.G and syncs
  // the folder. False with `why`.
  bool Finish(const EndRecord& end, std::string& why);

  uint64_t generation() const { return generation_; }
  // Bytes written and waiting in the batch.
  uint64_t bytes() const { return written_ + batch_.bytes(); }

 private:
  SnapshotFile(const DataFolder& folder, int fd, uint64_t generation)
      : folder_(folder), fd_(fd), generation_(generation) {}

  const DataFolder& folder_;
  const int fd_;
  const uint64_t generation_;
  RecordBatch batch_;
  uint64_t written_ = 0;
  bool finished_ = false;
};

}  // namespace pendrakel

#endif  // PENDRAKEL_PERSIST_SNAPSHOT_FILE_H_
