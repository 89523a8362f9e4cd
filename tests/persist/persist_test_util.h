// Helpers for the persistence tests: a fresh folder per test, and files of
// records written and read back whole.
#ifndef PENDRAKEL_TESTS_PERSIST_PERSIST_TEST_UTIL_H_
#define PENDRAKEL_TESTS_PERSIST_PERSIST_TEST_UTIL_H_

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "persist/data_folder.h"
#include "persist/record_batch.h"
#include "persist/record_reader.h"

namespace pendrakel::testing {

// Polls `done` for up to ten seconds.
template <typename Done>
bool Eventually(Done done) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// A new empty folder, removed with the object.
class TempFolder {
 public:
  TempFolder() {
    static int serial = 0;
    path_ = std::filesystem::temp_directory_path() /
            ("pendrakel-persist-" + std::to_string(getpid()) + "-" +
             std::to_string(serial++));
    std::filesystem::remove_all(path_);
    std::filesystem::create_directory(path_);
  }
  ~TempFolder() { std::filesystem::remove_all(path_); }
  std::string path() const { return path_.string(); }
  std::string file(const std::string& name) const {
    return (path_ / name).string();
  }

 private:
  std::filesystem::path path_;
};

inline std::unique_ptr<DataFolder> OpenFolder(const TempFolder& folder) {
  std::string why;
  std::unique_ptr<DataFolder> open = DataFolder::Open(folder.path(), why);
  EXPECT_TRUE(open) << why;
  return open;
}

// Writes `batch` as the whole of file `path`.
inline void WriteBatch(const std::string& path, const RecordBatch& batch) {
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(batch.WriteAt(fd, 0), 0);
  close(fd);
}

inline std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}
inline void WriteAll(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// What reading a file gave: its records' types and how it ended.
struct ReadOutcome {
  std::vector<RecordType> types;
  RecordReader::Step last = RecordReader::Step::kEnd;
  uint64_t goodEnd = 0;
  std::string damage;  // the open's or the read's
};

inline ReadOutcome ReadRecords(const DataFolder& folder,
                               const std::string& name, FileKind kind,
                               bool lastJournal) {
  ReadOutcome outcome;
  std::unique_ptr<RecordReader> reader =
      RecordReader::Open(folder, name, kind, lastJournal, outcome.damage);
  if (!reader) {
    outcome.last = RecordReader::Step::kDamaged;
    return outcome;
  }
  Record record;
  while ((outcome.last = reader->Next(record)) == RecordReader::Step::kRecord)
    outcome.types.push_back(record.type);
  outcome.goodEnd = reader->goodEnd();
  if (outcome.last == RecordReader::Step::kDamaged)
    outcome.damage = reader->damage();
  return outcome;
}

}  // namespace pendrakel::testing

#endif  // PENDRAKEL_TESTS_PERSIST_PERSIST_TEST_UTIL_H_
