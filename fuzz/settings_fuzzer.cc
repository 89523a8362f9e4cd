// Fuzzes the settings loader on arbitrary file contents. Each input is
// written to one temporary file (made once per process, removed at exit) and
// loaded into fresh Settings and a fresh MemoryBudget; whatever the file
// holds, the loader must answer 0 or a negative code and leave every text
// field terminated within its capacity, PathBaseLength equal to the length
// of PathBase, and Description (which no setting names) untouched.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/settings.h"
#include "fuzz/fuzz_check.h"

namespace pendrakel::fuzz {
namespace {

// The settings file of this process, kept open for writing each input.
std::string gPath;
int gFd = -1;

void RemoveSettingsFile() { unlink(gPath.c_str()); }

// A memory file system when there is one: rewriting a file on disk for every
// input would make the file system, not the loader, the bottleneck.
std::string TemporaryDirectory() {
  const char* dir = std::getenv("TMPDIR");
  if (dir != nullptr && *dir != '\0') return dir;
  return access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
}

// Makes the file on first use and returns its path.
const char* SettingsFilePath() {
  if (gFd < 0) {
    std::string pattern =
        TemporaryDirectory() + "/pendrakel-settings-fuzz-XXXXXX";
    gFd = mkstemp(pattern.data());
    Check(gFd >= 0, "cannot make the temporary settings file");
    gPath = pattern;
    std::atexit(RemoveSettingsFile);
  }
  return gPath.c_str();
}

// Replaces the file's contents in place (written, then cut to size).
void WriteFile(const uint8_t* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    const ssize_t wrote =
        pwrite(gFd, data + done, size - done, static_cast<off_t>(done));
    Check(wrote > 0, "cannot write the temporary settings file");
    done += static_cast<size_t>(wrote);
  }
  Check(ftruncate(gFd, static_cast<off_t>(size)) == 0,
        "cannot cut the temporary settings file");
}

template <size_t kCapacity>
void CheckTerminated(const char (&field)[kCapacity], const char* name) {
  Check(std::memchr(field, '\0', kCapacity) != nullptr,
        std::string(name) + " is not terminated within its field");
}

void CheckSettings(const Settings& settings) {
  CheckTerminated(settings.Description, "Description");
  CheckTerminated(settings.GetCmdName, "GetCmdName");
  CheckTerminated(settings.SetCmdName, "SetCmdName");
  CheckTerminated(settings.DelCmdName, "DelCmdName");
  CheckTerminated(settings.NopCmdName, "NopCmdName");
  CheckTerminated(settings.PathBase, "PathBase");
  CheckTerminated(settings.CookieName, "CookieName");
  CheckTerminated(settings.CookieAttributes, "CookieAttributes");
  CheckTerminated(settings.DefaultContentType, "DefaultContentType");
  CheckEqual<size_t>(std::strlen(settings.PathBase),
                     static_cast<size_t>(settings.PathBaseLength),
                     "PathBaseLength");
  CheckEqual<std::string>(Settings{}.Description, settings.Description,
                          "Description");
}

}  // namespace
}  // namespace pendrakel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace pendrakel;
  const char* path = fuzz::SettingsFilePath();
  fuzz::WriteFile(data, size);
  Settings settings;
  uint64_t memoryMax = 0;
  const int32_t result = LoadSettings(path, settings, memoryMax);
  fuzz::Check(result <= 0, "LoadSettings answered a positive code " +
                               std::to_string(result));
  fuzz::CheckSettings(settings);
  return 0;
}
