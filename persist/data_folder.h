// DataFolder: the folder the store keeps its files in, opened and locked
// for this process, and the names of the files in it.
//
// Every file is reached through the folder's descriptor with O_NOFOLLOW, so
// the store never follows a symbolic link in the folder (it makes none); the
// folder's own path may be a link. Files are created mode 0600. The lock
// file is held with flock for as long as the object lives, so a second
// process (or a second DataFolder in this one) is refused.
//
// Failures are told in one line naming the folder or file and the reason.
//
// Threads: one at a time (start-up, then the writer thread).
#ifndef PENDRAKEL_PERSIST_DATA_FOLDER_H_
#define PENDRAKEL_PERSIST_DATA_FOLDER_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace pendrakel {

inline constexpr std::string_view kLockFileName = "pendrakel.lock";

// Generations are ten decimal digits in a file name: journal.0000000001.
inline constexpr int kGenerationDigits = 10;

class DataFolder {
 public:
  // What the folder holds of the store's own files, each list ascending.
  struct Contents {
    std::vector<uint64_t> journals;
    std::vector<uint64_t> snapshots;
    std::vector<uint64_t> partials;  // snapshots never finished
  };

  // Opens and locks `path` (which must pass CheckDataFolder); null, with
  // `why` set, when it cannot.
  static std::unique_ptr<DataFolder> Open(const std::string& path,
                                          std::string& why);
  ~DataFolder();
  DataFolder(const DataFolder&) = delete;
  DataFolder& operator=(const DataFolder&) = delete;

  const std::string& path() const { return path_; }
  // `name` in the folder, for messages.
  std::string PathOf(std::string_view name) const;

  static std::string JournalName(uint64_t generation);
  static std::string SnapshotName(uint64_t generation);
  static std::string PartialName(uint64_t generation);

  // Lists the store's files. False, with `why`, when one of them is not a
  // regular file (a link among them) or the folder cannot be read.
  bool List(Contents& contents, std::string& why) const;

  // A descriptor (close-on-exec) of the existing regular file `name`, for
  // reading, or for reading and writing; -1 with `why`.
  int OpenExisting(std::string_view name, bool writable,
                   std::string& why) const;
  // Creates `name`, which must not exist yet, for writing; -1 with `why`.
  int Create(std::string_view name, std::string& why) const;
  // Renames within the folder, replacing `to`; removes `name`. False with
  // `why`.
  bool Rename(std::string_view from, std::string_view to,
              std::string& why) const;
  bool Remove(std::string_view name, std::string& why) const;
  // Makes the folder's entries (created, renamed, removed files) durable.
  bool Sync(std::string& why) const;

 private:
  DataFolder(std::string path, int folder, int lock)
      : path_(std::move(path)), folder_(folder), lock_(lock) {}

  const std::string path_;
  const int folder_;  // O_DIRECTORY descriptor
  const int lock_;    // the lock file, flocked
};

}  // namespace pendrakel

#endif  // PENDRAKEL_PERSIST_DATA_FOLDER_H_
