// Journal: the writer thread of the store's persistence. It takes the
// store's changes from the ChangeQueue, writes them to the journal file,
// syncs as the Sync setting promises, tells waiting requests, records the
// collections' last-access times, and rewrites the journal as a snapshot
// once it has grown well beyond the live data (persist/README.md).
//
// Ownership: owns the folder (and so its lock) and the journal file; the
// queue and the store walker are the caller's and must outlive Stop.
//
// Threads: Start and Stop by the one thread of start-up and shut-down;
// everything else runs on the writer thread. The writer holds no store lock
// across a file operation (the walker takes them and returns first) and no
// lock of its own: its state is its thread's alone, and what requests see
// of it goes through the queue's atomics.
#ifndef PENDRAKEL_PERSIST_JOURNAL_H_
#define PENDRAKEL_PERSIST_JOURNAL_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "absl/container/flat_hash_set.h"
#include "persist/record_batch.h"
#include "persist/sync_mode.h"
#include "store/value_ref.h"

namespace pendrakel {

class Change;
class ChangeQueue;
class JournalFile;
class DataFolder;
class SnapshotFile;
class StoreWalker;

// Time the writer lets changes gather before it writes them, with Sync
// "second", while they keep coming.
inline constexpr std::chrono::milliseconds kWriteBatchPeriod{50};
// Longest time written changes stay unsynced, with Sync "second".
inline constexpr std::chrono::milliseconds kSyncPeriod{1000};
// Unsynced bytes that make the writer sync at once, whatever the mode: they
// bound what a crash of the machine loses and what the writer holds (with
// Sync "second", a copy of what it wrote since the last sync).
inline constexpr uint64_t kMaxUnsyncedBytes = uint64_t{16} << 20;
// Time between two attempts to write after a write or sync failed.
inline constexpr std::chrono::milliseconds kRetryPeriod{1000};
// Time between two records of the collections' last-access times.
inline constexpr std::chrono::seconds kTouchPeriod{60};
// The journal is rewritten as a snapshot once it holds this many bytes and
// more than the last snapshot.
inline constexpr uint64_t kCompactMinBytes = uint64_t{64} << 20;
// Time before a snapshot that failed is tried again.
inline constexpr std::chrono::seconds kCompactRetryPeriod{60};
// Snapshot bytes gathered before they are written.
inline constexpr uint64_t kSnapshotWriteBytes = uint64_t{1} << 20;

struct JournalOptions {
  SyncMode sync = SyncMode::kSecond;
  uint64_t compactMinBytes = kCompactMinBytes;
};

class Journal {
 public:
  // `file` is the journal to append to (generation G); `snapshotBytes` the
  // size of snapshot.G, 0 when there is none.
  Journal(std::unique_ptr<DataFolder> folder, std::unique_ptr<JournalFile> file,
          uint64_t snapshotBytes, ChangeQueue& queue, StoreWalker& store,
          JournalOptions options);
  ~Journal();
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  // Starts the writer thread; false when it cannot be started.
  bool Start();
  // Writes what is queued and every collection's last access, syncs, and
  // ends the thread. REQUIRES: no request pushes changes any more.
  void Stop();

 private:
  using Clock = std::chrono::steady_clock;

  void Run();
  // Takes the queued changes, writes and syncs what is due, and tries
  // again after a failure; false when nothing was queued.
  bool Serve();
  void Encode(const Change& change);
  // Writes batch_ (the changes since the last write), then syncs when due.
  void WriteAndSync(bool syncNow);
  // After a failure: everything not yet synced is written again.
  void Retry();
  void Fail(const char* what, int error);
  void SettleSynced();
  void Touch(bool all);
  // With Sync "always": undoes in memory the stores and deletes of `list`
  // (linked through `next`) that were answered as not kept, each name once
  // an episode, back to what it held before the first of them.
  void UndoFailed(Change* list);
  bool CompactionDue() const;
  void Compact();
  bool SwitchJournal(std::string& why);
  bool WriteSnapshot(std::string& why);
  // Between two slices of a snapshot: writes its batch once it is large
  // and serves the queue. False, with `why` when a write failed, to give
  // the snapshot up.
  bool BetweenSnapshotSlices(SnapshotFile& snapshot, std::string& why);
  // Changes not yet synced, to be told of a failure or released.
  void ReleaseUnsynced();
  void RemoveOlderThan(uint64_t generation);
  Clock::time_point NextDeadline(bool tookChanges) const;

  const std::unique_ptr<DataFolder> folder_;
  std::unique_ptr<JournalFile> file_;
  ChangeQueue& queue_;
  StoreWalker& store_;
  const JournalOptions options_;
  std::thread thread_;
  std::atomic<bool> stopping_{false};  // set by Stop: a snapshot gives up

  // The writer thread's own state.
  RecordBatch batch_;  // encoded changes not yet written
  // Changes not yet written, oldest first; with Sync "always", not yet
  // synced (their requests wait for that).
  Change* unsynced_ = nullptr;
  Change* unsyncedTail_ = nullptr;
  Clock::time_point oldestUnsynced_{};
  bool failing_ = false;  // an episode: writing fails
  Clock::time_point failedAt_{};
  Clock::time_point nextRetry_{};
  Clock::time_point nextTouch_{};
  bool touchAll_ = false;  // every last access is due
  uint64_t snapshotBytes_;
  uint64_t olderJournalBytes_ = 0;  // journals since the snapshot, but file_
  Clock::time_point nextCompaction_{};
  std::vector<ValueRef> held_;  // values a snapshot batch points at
  // With Sync "second": the bytes written since the last sync, to write
  // again if that sync fails (the changes are released once written).
  std::vector<unsigned char> writtenUnsynced_;
  // Names undone in this episode, by collection id (Sync "always").
  absl::flat_hash_set<std::pair<uint64_t, std::string>> undone_;
};

}  // namespace pendrakel

#endif  // PENDRAKEL_PERSIST_JOURNAL_H_
