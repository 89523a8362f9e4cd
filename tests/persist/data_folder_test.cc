// The folder: its lock, the links it refuses, and the order in which its
// files rebuild the store.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "persist/folder_reader.h"
#include "tests/persist/persist_test_util.h"

namespace pendrakel {
namespace {

using testing::TempFolder;

TEST(DataFolder, ASecondOpenIsRefusedUntilTheFirstCloses) {
  TempFolder temp;
  auto first = testing::OpenFolder(temp);
  std::string why;
  EXPECT_FALSE(DataFolder::Open(temp.path(), why));
  EXPECT_EQ(why, temp.path() + " is in use by another process (pid " +
                     std::to_string(getpid()) +
                     "); two stores cannot share a folder");
  first.reset();
  EXPECT_TRUE(DataFolder::Open(temp.path(), why)) << why;
}

TEST(DataFolder, FilesAreOnlyTheOwnersAndLinksAreNeverFollowed) {
  TempFolder temp;
  auto folder = testing::OpenFolder(temp);
  std::string why;
  const int fd = folder->Create(DataFolder::JournalName(1), why);
  ASSERT_GE(fd, 0) << why;
  close(fd);
  struct stat status {};
  ASSERT_EQ(stat(temp.file(DataFolder::JournalName(1)).c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
  // A link planted under a name of ours, pointing anywhere.
  std::filesystem::create_symlink("/etc/passwd",
                                  temp.file(DataFolder::JournalName(2)));
  EXPECT_LT(folder->OpenExisting(DataFolder::JournalName(2), false, why), 0);
  DataFolder::Contents contents;
  EXPECT_FALSE(folder->List(contents, why));
  EXPECT_NE(why.find("journal.0000000002 is a symbolic link"),
            std::string::npos)
      << why;
}

// Journals of the given generations, each holding one drop record naming
// its generation, and a snapshot of generation `snapshot` unless 0.
void MakeFiles(const TempFolder& temp, const std::vector<uint64_t>& journals,
               uint64_t snapshot) {
  for (uint64_t generation : journals) {
    RecordBatch batch;
    batch.AddFileHeader(FileKind::kJournal, generation);
    batch.AddDrop(generation);
    testing::WriteBatch(temp.file(DataFolder::JournalName(generation)), batch);
  }
  if (snapshot != 0) {
    RecordBatch batch;
    batch.AddFileHeader(FileKind::kSnapshot, snapshot);
    batch.AddDrop(100 + snapshot);
    batch.AddEnd({0, 0});
    testing::WriteBatch(temp.file(DataFolder::SnapshotName(snapshot)), batch);
  }
}

// The drop ids in the order ReadFolder applied them, or the damage.
std::string ReadOrder(const TempFolder& temp) {
  auto folder = testing::OpenFolder(temp);
  std::string order, why;
  FolderState state;
  const bool read = ReadFolder(
      *folder,
      [&](FileKind, const Record& record) {
        uint64_t id = 0;
        if (record.type == RecordType::kDrop && ParseDrop(record.payload, id))
          order += std::to_string(id) + " ";
        return std::string();
      },
      state, why);
  return read ? order : why;
}

TEST(ReadFolder, TheNewestSnapshotThenItsJournalsInOrder) {
  TempFolder temp;
  EXPECT_EQ(ReadOrder(temp), "");
  MakeFiles(temp, {1, 2}, 0);
  EXPECT_EQ(ReadOrder(temp), "1 2 ");
  // A crash between a snapshot's rename and the removal of what it
  // replaces: the older journal is not read again.
  MakeFiles(temp, {3}, 2);
  EXPECT_EQ(ReadOrder(temp), "102 2 3 ");
  // A partial snapshot is not read, and a missing generation is damage.
  testing::WriteAll(temp.file(DataFolder::PartialName(4)), "half");
  EXPECT_EQ(ReadOrder(temp), "102 2 3 ");
  MakeFiles(temp, {5}, 0);
  EXPECT_NE(ReadOrder(temp).find("journal.0000000004 is missing"),
            std::string::npos);
}

TEST(ReadFolder, ASnapshotWithoutItsEndIsDamage) {
  TempFolder temp;
  MakeFiles(temp, {1}, 0);
  RecordBatch batch;
  batch.AddFileHeader(FileKind::kSnapshot, 1);
  batch.AddDrop(9);
  testing::WriteBatch(temp.file(DataFolder::SnapshotName(1)), batch);
  EXPECT_NE(ReadOrder(temp).find("snapshot.0000000001 has no end record"),
            std::string::npos);
}

}  // namespace
}  // namespace pendrakel
