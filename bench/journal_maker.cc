// Writes a store's folder as the running store would leave it after storing
// COUNT values of the benchmark's shape (16-byte names, 100-byte values) in
// the shared collection: one journal, so that scripts/bench.sh can time the
// loading of millions of values without storing them over HTTP first.
//
//   pendrakel_journal_maker FOLDER COUNT
//
// Exits 1 with one line on standard error when the file cannot be written.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench/bench_names.h"
#include "persist/data_folder.h"
#include "persist/format.h"
#include "persist/record_batch.h"

namespace {

// Bytes gathered before each write.
constexpr uint64_t kWriteBytes = uint64_t{4} << 20;

int Fail(const std::string& what) {
  std::fprintf(stderr, "pendrakel_journal_maker: %s\n", what.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace pendrakel;
  if (argc != 3) return Fail("usage: pendrakel_journal_maker FOLDER COUNT");
  const std::string path =
      std::string(argv[1]) + "/" + DataFolder::JournalName(1);
  const uint64_t count = std::strtoull(argv[2], nullptr, 10);
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
  if (fd < 0) return Fail(path + ": " + std::strerror(errno));
  const int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
  const std::string data(bench::kValueBytes, 'v');
  const Bytes bytes(reinterpret_cast<const unsigned char*>(data.data()),
                    data.size());
  RecordBatch batch;
  batch.AddFileHeader(FileKind::kJournal, 1);
  batch.AddCollection({1, now, CollectionKind::kShared, {}});
  uint64_t offset = 0;
  for (uint64_t i = 0; i <= count; ++i) {
    if (i == count || batch.bytes() >= kWriteBytes) {
      if (const int error = batch.WriteAt(fd, offset))
        return Fail(path + ": " + std::strerror(error));
      offset += batch.bytes();
      batch.Clear();
    }
    if (i < count) {
      const std::string name = bench::BenchName(i);
      batch.AddPut({1, 0, name, {}, bytes});
    }
  }
  if (fsync(fd) != 0 || close(fd) != 0)
    return Fail(path + ": " + std::strerror(errno));
  return 0;
}
