#include "persist/snapshot_file.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "persist/data_folder.h"

namespace pendrakel {

std::unique_ptr<SnapshotFile> SnapshotFile::Create(const DataFolder& folder,
                                                   uint64_t generation,
                                                   std::string& why) {
  const std::string name = DataFolder::PartialName(generation);
  if (!folder.Remove(name, why)) return nullptr;
  const int fd = folder.Create(name, why);
  if (fd < 0) return nullptr;
  std::unique_ptr<SnapshotFile> file(new SnapshotFile(folder, fd, generation));
  file->batch_.AddFileHeader(FileKind::kSnapshot, generation);
  return file;
}

SnapshotFile::~SnapshotFile() {
  close(fd_);
  if (!finished_) {
    std::string ignored;
    folder_.Remove(DataFolder::PartialName(generation_), ignored);
  }
}

int SnapshotFile::Flush() {
  if (batch_.empty()) return 0;
  if (const int error = batch_.WriteAt(fd_, written_)) return error;
  written_ += batch_.bytes();
  batch_.Clear();
  return 0;
}

bool SnapshotFile::Finish(const EndRecord& end, std::string& why) {
  const std::string partial = DataFolder::PartialName(generation_);
  batch_.AddEnd(end);
  int error = Flush();
  if (error == 0 && fdatasync(fd_) != 0) error = errno;
  if (error != 0) {
    why = folder_.PathOf(partial) + " cannot be written (" +
          std::strerror(error) + ")";
    return false;
  }
  if (!folder_.Rename(partial, DataFolder::SnapshotName(generation_), why) ||
      !folder_.Sync(why)) {
    return false;
  }
  finished_ = true;
  return true;
}

}  // namespace pendrakel
