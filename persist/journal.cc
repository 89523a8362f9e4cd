#include "persist/journal.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <new>
#include <system_error>

#include "persist/data_folder.h"
#include "persist/journal_file.h"
#include "persist/log_line.h"
#include "persist/snapshot_file.h"
#include "persist/store_walker.h"
#include "store/batch_class.h"
#include "store/change_queue.h"
#include "store/value.h"
#include "store/values.h"

namespace pendrakel {
namespace {

// Pairs in one touch record.
constexpr size_t kTouchesPerRecord = 4096;

Bytes DataOf(const Value& value) { return {value.data(), value.size()}; }

std::string Seconds(std::chrono::steady_clock::duration span) {
  return std::to_string(
      std::chrono::duration_cast<std::chrono::seconds>(span).count());
}

}  // namespace

Journal::Journal(std::unique_ptr<DataFolder> folder,
                 std::unique_ptr<JournalFile> file, uint64_t snapshotBytes,
                 ChangeQueue& queue, StoreWalker& store, JournalOptions options)
    : folder_(std::move(folder)),
      file_(std::move(file)),
      queue_(queue),
      store_(store),
      options_(options),
      nextTouch_(Clock::now() + kTouchPeriod),
      snapshotBytes_(snapshotBytes) {}

Journal::~Journal() {
  Stop();
  ReleaseUnsynced();
}

bool Journal::Start() {
  try {
    thread_ = std::thread([this] { Run(); });
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void Journal::Stop() {
  if (!thread_.joinable()) return;
  stopping_.store(true, std::memory_order_relaxed);
  queue_.Stop();
  thread_.join();
  // A change pushed after the writer's last look is not written: whoever
  // waits for it learns so, rather than waiting for ever.
  for (Change* late = queue_.TakeAll(); late != nullptr;) {
    queue_.Settle(late, late->next, /*kept=*/false);
    Change* next = late->next;
    late->Release();
    late = next;
  }
}

void Journal::Run() {
  RunAtBatchClass();  // a request that wakes it goes on first
  bool took = false;
  while (queue_.WaitForChanges(NextDeadline(took),
                               options_.sync == SyncMode::kAlways || !took)) {
    took = Serve();
    if (!failing_ && Clock::now() >= nextTouch_) Touch(false);
    if (CompactionDue()) Compact();
  }
  // Stopping: the last changes and every collection's last access.
  Serve();
  if (!failing_) Touch(true);
  if (failing_) Retry();
  if (failing_) {
    size_t lost = 0;
    for (Change* change = unsynced_; change != nullptr; change = change->next)
      ++lost;
    LogLine(file_->path() + ": stopping while writing fails; " +
            std::to_string(lost) + " changes and " +
            std::to_string(writtenUnsynced_.size()) +
            " bytes written before were not kept");
  }
  ReleaseUnsynced();
}

Journal::Clock::time_point Journal::NextDeadline(bool tookChanges) const {
  const Clock::time_point now = Clock::now();
  Clock::time_point deadline = nextTouch_;
  if (failing_) {
    deadline = std::min(deadline, nextRetry_);
  } else if (file_->end() != file_->synced()) {
    deadline = std::min(deadline, oldestUnsynced_ + kSyncPeriod);
  }
  if (tookChanges && options_.sync == SyncMode::kSecond)
    deadline = std::min(deadline, now + kWriteBatchPeriod);
  return deadline;
}

bool Journal::Serve() {
  Change* taken = queue_.TakeAll();
  for (Change* change = taken; change != nullptr; change = change->next) {
    if (!failing_) Encode(*change);
    if (unsyncedTail_ == nullptr) {
      unsynced_ = change;
    } else {
      unsyncedTail_->next = change;
    }
    unsyncedTail_ = change;
  }
  if (failing_) {
    // Waiting requests are answered now, not once the disk works again;
    // their changes are kept, to be written then.
    if (taken != nullptr) {
      queue_.Settle(taken, nullptr, /*kept=*/false);
      UndoFailed(taken);
    }
    if (Clock::now() >= nextRetry_) Retry();
  } else {
    WriteAndSync(false);
  }
  return taken != nullptr;
}

void Journal::Encode(const Change& change) {
  switch (change.kind()) {
    case Change::Kind::kPut: {
      const Value& value = *change.value();
      batch_.AddPut({change.id(), value.expiry(), value.name(),
                     value.contentType(), DataOf(value)});
      break;
    }
    case Change::Kind::kRemove:
      batch_.AddRemove({change.id(), change.text()});
      break;
    case Change::Kind::kCookieCollection:
      batch_.AddCollection(
          {change.id(), change.time(), CollectionKind::kCookie, change.text()});
      break;
    case Change::Kind::kSharedCollection:
      batch_.AddCollection(
          {change.id(), change.time(), CollectionKind::kShared, {}});
      break;
    case Change::Kind::kDrop:
      batch_.AddDrop(change.id());
      break;
  }
}

void Journal::WriteAndSync(bool syncNow) {
  const Clock::time_point now = Clock::now();
  if (!batch_.empty()) {
    if (file_->end() == file_->synced()) oldestUnsynced_ = now;
    if (const int error = file_->Append(batch_)) return Fail("write", error);
    if (!queue_.answerWhenSynced()) {
      // Nobody waits for the sync: the written bytes are kept for it
      // instead of the changes, whose values go at once.
      batch_.AppendTo(writtenUnsynced_);
      ReleaseUnsynced();
    }
    batch_.Clear();
  }
  if (file_->end() == file_->synced()) {
    SettleSynced();  // changes that wrote nothing (none today) are kept too
    return;
  }
  const bool due = syncNow || options_.sync == SyncMode::kAlways ||
                   file_->end() - file_->synced() >= kMaxUnsyncedBytes ||
                   now - oldestUnsynced_ >= kSyncPeriod;
  if (!due) return;
  if (const int error = file_->Sync()) return Fail("sync", error);
  writtenUnsynced_.clear();
  SettleSynced();
}

void Journal::SettleSynced() {
  if (unsynced_ == nullptr) return;
  queue_.Settle(unsynced_, nullptr, /*kept=*/true);
  ReleaseUnsynced();
}

void Journal::ReleaseUnsynced() {
  // Anyone still waiting learns that the change was not kept.
  if (unsynced_ != nullptr) queue_.Settle(unsynced_, nullptr, /*kept=*/false);
  for (Change* change = unsynced_; change != nullptr;) {
    Change* next = change->next;
    change->Release();
    change = next;
  }
  unsynced_ = unsyncedTail_ = nullptr;
}

void Journal::Fail(const char* what, int error) {
  const Clock::time_point now = Clock::now();
  if (!failing_) {
    failing_ = true;
    failedAt_ = now;
    queue_.SetAccepting(false);
    LogLine(file_->path() + ": cannot " + what + " (" + std::strerror(error) +
            "); stores and deletes are refused until writing works again");
  }
  // Requests waiting for these learn the failure now; the changes stay, and
  // the bytes written since the last sync, to be written again once there
  // is room.
  if (unsynced_ != nullptr) {
    queue_.Settle(unsynced_, nullptr, /*kept=*/false);
    UndoFailed(unsynced_);
  }
  file_->Rewind();
  batch_.Clear();
  touchAll_ = true;  // what was written of them is cut off
  nextRetry_ = now + kRetryPeriod;
}

void Journal::Retry() {
  batch_.Clear();
  batch_.AddWritten(writtenUnsynced_);
  for (Change* change = unsynced_; change != nullptr; change = change->next)
    Encode(*change);
  int error = file_->Append(batch_);
  if (error == 0) error = file_->Sync();
  batch_.Clear();
  if (error != 0) {
    file_->Rewind();
    nextRetry_ = Clock::now() + kRetryPeriod;
    return;
  }
  writtenUnsynced_.clear();
  SettleSynced();
  failing_ = false;
  undone_.clear();
  queue_.SetAccepting(true);
  LogLine(file_->path() + ": writing works again after " +
          Seconds(Clock::now() - failedAt_) +
          " s; stores and deletes are taken again");
}

void Journal::UndoFailed(Change* list) {
  // Every change of a name from its first failed one on failed too (stores
  // and deletes are refused from the failure on, in the hold of the
  // collection's lock that Restore takes), so the name goes back to what
  // that first one found, and its later ones are undone with it.
  for (Change* change = list; change != nullptr; change = change->next) {
    if (!change->owner()) continue;  // not an answered store or delete
    const std::string_view name = change->kind() == Change::Kind::kPut
                                      ? change->value()->name()
                                      : change->text();
    if (undone_.emplace(change->id(), std::string(name)).second)
      change->owner()->Restore(name, change->previous());
  }
}

void Journal::Touch(bool all) {
  std::vector<TouchRecord> touches;
  store_.AppendTouches(touches, all || touchAll_);
  touchAll_ = false;
  for (size_t first = 0; first < touches.size(); first += kTouchesPerRecord) {
    const size_t count = std::min(kTouchesPerRecord, touches.size() - first);
    batch_.AddTouches(std::span(touches).subspan(first, count));
  }
  nextTouch_ = Clock::now() + kTouchPeriod;
  WriteAndSync(all);
}

bool Journal::CompactionDue() const {
  if (failing_ || Clock::now() < nextCompaction_) return false;
  const uint64_t journalBytes = olderJournalBytes_ + file_->end();
  return journalBytes >= options_.compactMinBytes &&
         journalBytes > snapshotBytes_;
}

void Journal::Compact() {
  std::string why;
  if (SwitchJournal(why) && WriteSnapshot(why)) return;
  if (!why.empty()) {
    LogLine("snapshot not written: " + why +
            "; the journal is kept, and the snapshot tried again later");
  }
  nextCompaction_ = Clock::now() + kCompactRetryPeriod;
}

bool Journal::SwitchJournal(std::string& why) {
  // Everything taken so far goes to the old journal, synced, before the
  // new one exists.
  Serve();
  if (!failing_) WriteAndSync(/*syncNow=*/true);
  if (failing_) return false;  // the episode says why
  std::unique_ptr<JournalFile> next =
      JournalFile::Create(*folder_, file_->generation() + 1, why);
  if (!next) return false;
  olderJournalBytes_ += file_->end();
  file_ = std::move(next);
  return true;
}

namespace {

// A snapshot's records go to its file; the journal serves the queue
// between slices.
class SnapshotInFile : public SnapshotSink {
 public:
  SnapshotInFile(SnapshotFile& file, std::vector<ValueRef>& held,
                 std::function<bool()> between)
      : file_(file), held_(held), between_(std::move(between)) {}
  RecordBatch& batch() override { return file_.batch(); }
  void Hold(ValueRef value) override { held_.push_back(std::move(value)); }
  bool BetweenSlices() override { return between_(); }

 private:
  SnapshotFile& file_;
  std::vector<ValueRef>& held_;
  const std::function<bool()> between_;
};

}  // namespace

bool Journal::WriteSnapshot(std::string& why) {
  std::unique_ptr<SnapshotFile> snapshot =
      SnapshotFile::Create(*folder_, file_->generation(), why);
  if (!snapshot) return false;
  SnapshotInFile sink(*snapshot, held_,
                      [&] { return BetweenSnapshotSlices(*snapshot, why); });
  bool finished = false;
  try {
    finished = store_.Snapshot(sink) && snapshot->Finish(sink.counts(), why);
  } catch (const std::bad_alloc&) {
    why = "out of memory";
  }
  held_.clear();
  if (!finished) return false;  // given up; the partial file is removed
  snapshotBytes_ = snapshot->bytes();
  olderJournalBytes_ = 0;
  RemoveOlderThan(snapshot->generation());
  return true;
}

bool Journal::BetweenSnapshotSlices(SnapshotFile& snapshot, std::string& why) {
  if (snapshot.batch().bytes() >= kSnapshotWriteBytes) {
    const int error = snapshot.Flush();
    held_.clear();
    if (error != 0) {
      why = folder_->PathOf(DataFolder::PartialName(snapshot.generation())) +
            " cannot be written (" + std::strerror(error) + ")";
      return false;
    }
  }
  // Requests go on meanwhile: their changes are written between slices.
  Serve();
  return !failing_ && !stopping_.load(std::memory_order_relaxed);
}

void Journal::RemoveOlderThan(uint64_t generation) {
  DataFolder::Contents contents;
  std::string why;
  bool ok = folder_->List(contents, why);
  for (uint64_t old : contents.journals)
    if (ok && old < generation)
      ok = folder_->Remove(DataFolder::JournalName(old), why);
  for (uint64_t old : contents.snapshots)
    if (ok && old < generation)
      ok = folder_->Remove(DataFolder::SnapshotName(old), why);
  if (ok) ok = folder_->Sync(why);
  if (!ok) LogLine("older files not removed: " + why);
}

}  // namespace pendrakel
