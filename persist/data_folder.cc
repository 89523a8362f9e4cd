#include "persist/data_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "persist/folder_check.h"

namespace pendrakel {
namespace {

// Mode of every file the store creates.
constexpr mode_t kFileMode = 0600;

std::string Reason(int error) { return std::strerror(error); }

std::string Numbered(std::string_view prefix, uint64_t generation,
                     std::string_view suffix) {
  char digits[32];
  std::snprintf(digits, sizeof digits, "%0*llu", kGenerationDigits,
                static_cast<unsigned long long>(generation));
  return std::string(prefix) + digits + std::string(suffix);
}

// The generation of a name `prefix` + ten digits + `suffix`, else nothing.
bool ParseNumbered(std::string_view name, std::string_view prefix,
                   std::string_view suffix, uint64_t& generation) {
  if (name.size() != prefix.size() + kGenerationDigits + suffix.size() ||
      !name.starts_with(prefix) || !name.ends_with(suffix)) {
    return false;
  }
  const std::string_view digits = name.substr(prefix.size(), kGenerationDigits);
  if (digits.find_first_not_of("0123456789") != std::string_view::npos)
    return false;
  return std::from_chars(digits.data(), digits.data() + digits.size(),
                         generation)
             .ec == std::errc();
}

// The pid written in a held lock file, for the message that refuses us.
std::string HolderOf(int lock) {
  char text[32] = {};
  const ssize_t got = pread(lock, text, sizeof text - 1, 0);
  if (got <= 0) return "another process";
  std::string pid(text, static_cast<size_t>(got));
  pid.erase(pid.find_last_not_of("\n ") + 1);
  return "another process (pid " + pid + ")";
}

int LockFolder(int folder, const std::string& path, std::string& why) {
  const std::string name(kLockFileName);
  const int lock = openat(folder, name.c_str(),
                          O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, kFileMode);
  if (lock < 0) {
    why = path + "/" + name + ": cannot be opened (" + Reason(errno) + ")";
    return -1;
  }
  if (flock(lock, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    why =
        path + " is in use by " +
        (error == EWOULDBLOCK ? HolderOf(lock) : "? (" + Reason(error) + ")") +
        "; two stores cannot share a folder";
    close(lock);
    return -1;
  }
  const std::string pid = std::to_string(getpid()) + "\n";
  if (ftruncate(lock, 0) != 0 || pwrite(lock, pid.data(), pid.size(), 0) !=
                                     static_cast<ssize_t>(pid.size())) {
    why = path + "/" + name + ": cannot be written (" + Reason(errno) + ")";
    close(lock);
    return -1;
  }
  return lock;
}

}  // namespace

std::unique_ptr<DataFolder> DataFolder::Open(const std::string& path,
                                             std::string& why) {
  if (const std::string problem = CheckDataFolder(path); !problem.empty()) {
    why = path + " " + problem;
    return nullptr;
  }
  const int folder = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) {
    why = path + " cannot be opened (" + Reason(errno) + ")";
    return nullptr;
  }
  const int lock = LockFolder(folder, path, why);
  if (lock < 0) {
    close(folder);
    return nullptr;
  }
  return std::unique_ptr<DataFolder>(new DataFolder(path, folder, lock));
}

DataFolder::~DataFolder() {
  close(lock_);  // gives the flock up
  close(folder_);
}

std::string DataFolder::PathOf(std::string_view name) const {
  return path_ + (path_.ends_with('/') ? "" : "/") + std::string(name);
}

std::string DataFolder::JournalName(uint64_t generation) {
  return Numbered("journal.", generation, "");
}
std::string DataFolder::SnapshotName(uint64_t generation) {
  return Numbered("snapshot.", generation, "");
}
std::string DataFolder::PartialName(uint64_t generation) {
  return Numbered("snapshot.", generation, ".partial");
}

bool DataFolder::List(Contents& contents, std::string& why) const {
  contents = {};
  const int copy = fcntl(folder_, F_DUPFD_CLOEXEC, 0);
  DIR* dir = copy < 0 ? nullptr : fdopendir(copy);
  if (dir == nullptr) {
    why = path_ + " cannot be read (" + Reason(errno) + ")";
    if (copy >= 0) close(copy);
    return false;
  }
  rewinddir(dir);
  bool ok = true;
  while (const dirent* entry = readdir(dir)) {
    const std::string_view name = entry->d_name;
    uint64_t generation = 0;
    std::vector<uint64_t>* list = nullptr;
    if (ParseNumbered(name, "journal.", "", generation)) {
      list = &contents.journals;
    } else if (ParseNumbered(name, "snapshot.", "", generation)) {
      list = &contents.snapshots;
    } else if (ParseNumbered(name, "snapshot.", ".partial", generation)) {
      list = &contents.partials;
    } else {
      continue;  // not ours: left alone
    }
    struct stat status {};
    if (fstatat(folder_, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(status.st_mode)) {
      why =
          PathOf(name) + " is " +
          (S_ISLNK(status.st_mode) ? "a symbolic link" : "not a regular file") +
          "; the store uses only files it made itself";
      ok = false;
      break;
    }
    list->push_back(generation);
  }
  closedir(dir);
  for (auto* list :
       {&contents.journals, &contents.snapshots, &contents.partials})
    std::sort(list->begin(), list->end());
  return ok;
}

int DataFolder::OpenExisting(std::string_view name, bool writable,
                             std::string& why) const {
  const std::string file(name);
  const int fd =
      openat(folder_, file.c_str(),
             (writable ? O_RDWR : O_RDONLY) | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    why = PathOf(name) + " cannot be opened (" +
          (errno == ELOOP ? std::string("it is a symbolic link")
                          : Reason(errno)) +
          ")";
    return -1;
  }
  struct stat status {};
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    why = PathOf(name) + " is not a regular file";
    close(fd);
    return -1;
  }
  return fd;
}

int DataFolder::Create(std::string_view name, std::string& why) const {
  const std::string file(name);
  const int fd =
      openat(folder_, file.c_str(),
             O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kFileMode);
  if (fd < 0) why = PathOf(name) + " cannot be created (" + Reason(errno) + ")";
  return fd;
}

bool DataFolder::Rename(std::string_view from, std::string_view to,
                        std::string& why) const {
  const std::string a(from), b(to);
  if (renameat(folder_, a.c_str(), folder_, b.c_str()) == 0) return true;
  why = PathOf(from) + " cannot be renamed (" + Reason(errno) + ")";
  return false;
}

bool DataFolder::Remove(std::string_view name, std::string& why) const {
  const std::string file(name);
  if (unlinkat(folder_, file.c_str(), 0) == 0 || errno == ENOENT) return true;
  why = PathOf(name) + " cannot be removed (" + Reason(errno) + ")";
  return false;
}

bool DataFolder::Sync(std::string& why) const {
  if (fsync(folder_) == 0) return true;
  why = path_ + " cannot be synced (" + Reason(errno) + ")";
  return false;
}

}  // namespace pendrakel
