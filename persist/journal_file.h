// JournalFile: the journal being appended to, written at an offset the file
// keeps itself (never O_APPEND), so that a write that failed half-way is
// written again over what it left.
//
// Ownership: owns the descriptor. Threads: one at a time (start-up, then the
// writer thread).
#ifndef PENDRAKEL_PERSIST_JOURNAL_FILE_H_
#define PENDRAKEL_PERSIST_JOURNAL_FILE_H_

#include <cstdint>
#include <memory>
#include <string>

namespace pendrakel {

class DataFolder;
class RecordBatch;

class JournalFile {
 public:
  // Creates journal `generation` with its header, synced, and syncs the
  // folder. Null with `why` when it cannot.
  static std::unique_ptr<JournalFile> Create(const DataFolder& folder,
                                             uint64_t generation,
                                             std::string& why);
  // Opens existing journal `generation` to append after its good records,
  // which end at `goodEnd`: a torn tail beyond is cut off (and a header
  // that was not complete is written again). Null with `why`.
  static std::unique_ptr<JournalFile> Resume(const DataFolder& folder,
                                             uint64_t generation,
                                             uint64_t goodEnd,
                                             std::string& why);
  ~JournalFile();
  JournalFile(const JournalFile&) = delete;
  JournalFile& operator=(const JournalFile&) = delete;

  // Writes `batch` at end(); 0, with end() moved past it, or the errno.
  int Append(const RecordBatch& batch);
  // Syncs the data written; 0, with synced() == end(), or the errno.
  int Sync();
  // After a failed Append or Sync: end() goes back to synced(), and what
  // lies beyond is cut off if the file system lets it, so that the records
  // not yet synced can be written again.
  void Rewind();

  uint64_t generation() const { return generation_; }
  uint64_t end() const { return end_; }
  uint64_t synced() const { return synced_; }
  const std::string& path() const { return path_; }

 private:
  JournalFile(int fd, uint64_t generation, uint64_t end, std::string path)
      : fd_(fd),
        generation_(generation),
        end_(end),
        synced_(end),
        path_(std::move(path)) {}

  const int fd_;
  const uint64_t generation_;
  uint64_t end_;     // where the next Append writes
  uint64_t synced_;  // everything before it is on disk
  const std::string path_;
};

}  // namespace pendrakel

#endif  // PENDRAKEL_PERSIST_JOURNAL_FILE_H_
