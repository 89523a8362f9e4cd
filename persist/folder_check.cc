#include "persist/folder_check.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace pendrakel {

std::string CheckDataFolder(std::string_view folder) {
  if (folder.empty()) return "is empty";
  if (folder.size() > kMaxDataFolderBytes) {
    return "is longer than " + std::to_string(kMaxDataFolderBytes) + " bytes";
  }
  if (folder.front() != '/') return "is not an absolute path";
  for (const char c : folder) {
    // A line break in the path would forge lines wherever it is printed.
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
      return "holds a control character";
  }
  const std::string path(folder);
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) {
    if (errno == ENOENT) return "does not exist";
    return std::string("cannot be examined (") + std::strerror(errno) + ")";
  }
  if (!S_ISDIR(status.st_mode)) return "is not a folder";
  // Creating files needs write and search permission, and a file system
  // mounted read-write.
  if (faccessat(AT_FDCWD, path.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
    return std::string("is not writable (") + std::strerror(errno) + ")";
  }
  return {};
}

}  // namespace pendrakel
