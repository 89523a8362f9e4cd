// Fuzzes the loading of a journal: each input, behind a valid journal
// header, is the one journal of a folder (kept for the whole process, on a
// memory file system when there is one), read with the damage rules and
// applied to a model of the store. Whatever the bytes, loading must end in
// success or a damage line, never read outside the file, and hand the
// model only collections it was told to make and has not dropped.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>
#include <string>

#include "fuzz/fuzz_check.h"
#include "persist/data_folder.h"
#include "persist/folder_reader.h"
#include "persist/rebuild.h"

namespace pendrakel::fuzz {
namespace {

constexpr int64_t kNow = 1'700'000'000;

class CheckedTarget : public RebuildTarget {
 public:
  bool NewCollection(uint64_t id) override {
    Check(live_.insert(id).second, "a collection made twice");
    return true;
  }
  bool Put(uint64_t id, const PutRecord&) override {
    Check(live_.contains(id), "a put into a collection not alive");
    return true;
  }
  void Remove(uint64_t id, std::string_view) override {
    Check(live_.contains(id), "a remove from a collection not alive");
  }
  void DropCollection(uint64_t id) override {
    Check(live_.erase(id) == 1, "a drop of a collection not alive");
  }
  bool PublishCookie(uint64_t id, std::string_view cookie, int64_t) override {
    Check(live_.contains(id) && !cookie.empty(), "a cookie published wrong");
    Check(cookies_.insert(std::string(cookie)).second,
          "a cookie published twice");
    return true;
  }
  bool PublishShared(uint64_t id, int64_t) override {
    Check(live_.contains(id) && !shared_,
          "the shared collection published wrong");
    shared_ = true;
    return true;
  }

 private:
  std::set<uint64_t> live_;
  std::set<std::string> cookies_;
  bool shared_ = false;
};

std::string gFolder;
std::unique_ptr<DataFolder> gOpen;

void RemoveFolder() {
  gOpen.reset();
  std::filesystem::remove_all(gFolder);
}

const DataFolder& Folder() {
  if (!gOpen) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(
            tmp != nullptr && *tmp != '\0'
                ? tmp
                : (access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp")) +
        "/pendrakel-journal-fuzz-XXXXXX";
    Check(mkdtemp(pattern.data()) != nullptr, "cannot make the folder");
    gFolder = pattern;
    std::string why;
    gOpen = DataFolder::Open(gFolder, why);
    Check(gOpen != nullptr, why);
    std::atexit(RemoveFolder);
  }
  return *gOpen;
}

void WriteJournal(const uint8_t* data, size_t size) {
  const std::string path = Folder().PathOf(DataFolder::JournalName(1));
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  Check(fd >= 0, "cannot write the journal");
  unsigned char header[kFileHeaderBytes];
  EncodeFileHeader(FileKind::kJournal, 1, header);
  Check(write(fd, header, sizeof header) == sizeof header, "short write");
  Check(size == 0 || write(fd, data, size) == static_cast<ssize_t>(size),
        "short write");
  close(fd);
}

}  // namespace
}  // namespace pendrakel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace pendrakel;
  fuzz::WriteJournal(data, size);
  fuzz::CheckedTarget target;
  Rebuild rebuild(target, fuzz::kNow, 1200);
  FolderState state;
  std::string why;
  const bool read = ReadFolder(
      fuzz::Folder(),
      [&](FileKind kind, const Record& record) {
        fuzz::Check(record.offset + kRecordHeadBytes + record.payload.size() <=
                        kFileHeaderBytes + size,
                    "a record beyond the file");
        return rebuild.Apply(kind, record);
      },
      state, why);
  if (read) {
    fuzz::Check(
        state.journalGoodEnd + state.tornBytes == kFileHeaderBytes + size,
        "the good records and the torn tail do not make the file");
    fuzz::Check(rebuild.Publish(why), "publishing failed");
  } else {
    fuzz::Check(why.find("damaged at offset") != std::string::npos, why);
  }
  return 0;
}
