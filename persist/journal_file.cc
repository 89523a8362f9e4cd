#include "persist/journal_file.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "persist/data_folder.h"
#include "persist/format.h"
#include "persist/record_batch.h"

namespace pendrakel {
namespace {

std::string Failed(const std::string& path, const char* what, int error) {
  return path + " cannot be " + what + " (" + std::strerror(error) + ")";
}

// Writes a journal header at the start of `fd` and syncs it.
int WriteHeader(int fd, uint64_t generation) {
  RecordBatch header;
  header.AddFileHeader(FileKind::kJournal, generation);
  if (const int error = header.WriteAt(fd, 0)) return error;
  return fdatasync(fd) == 0 ? 0 : errno;
}

}  // namespace

std::unique_ptr<JournalFile> JournalFile::Create(const DataFolder& folder,
                                                 uint64_t generation,
                                                 std::string& why) {
  const std::string name = DataFolder::JournalName(generation);
  const int fd = folder.Create(name, why);
  if (fd < 0) return nullptr;
  if (const int error = WriteHeader(fd, generation)) {
    why = Failed(folder.PathOf(name), "written", error);
    close(fd);
    return nullptr;
  }
  if (!folder.Sync(why)) {
    close(fd);
    return nullptr;
  }
  return std::unique_ptr<JournalFile>(
      new JournalFile(fd, generation, kFileHeaderBytes, folder.PathOf(name)));
}

std::unique_ptr<JournalFile> JournalFile::Resume(const DataFolder& folder,
                                                 uint64_t generation,
                                                 uint64_t goodEnd,
                                                 std::string& why) {
  const std::string name = DataFolder::JournalName(generation);
  const int fd = folder.OpenExisting(name, /*writable=*/true, why);
  if (fd < 0) return nullptr;
  const std::string path = folder.PathOf(name);
  int error = 0;
  if (goodEnd < kFileHeaderBytes) {
    goodEnd = kFileHeaderBytes;
    if (ftruncate(fd, 0) != 0) error = errno;
    if (error == 0) error = WriteHeader(fd, generation);
  }
  if (error == 0 && ftruncate(fd, static_cast<off_t>(goodEnd)) != 0)
    error = errno;
  if (error == 0 && fdatasync(fd) != 0) error = errno;
  if (error != 0) {
    why = Failed(path, "cut to its last whole record", error);
    close(fd);
    return nullptr;
  }
  return std::unique_ptr<JournalFile>(
      new JournalFile(fd, generation, goodEnd, path));
}

JournalFile::~JournalFile() { close(fd_); }

int JournalFile::Append(const RecordBatch& batch) {
  if (const int error = batch.WriteAt(fd_, end_)) return error;
  end_ += batch.bytes();
  return 0;
}

int JournalFile::Sync() {
  if (synced_ == end_) return 0;
  if (fdatasync(fd_) != 0) return errno;
  synced_ = end_;
  return 0;
}

void JournalFile::Rewind() {
  end_ = synced_;
  // Shrinking needs no room; if even that fails, the next write covers the
  // same range again anyway.
  (void)ftruncate(fd_, static_cast<off_t>(synced_));
}

}  // namespace pendrakel
