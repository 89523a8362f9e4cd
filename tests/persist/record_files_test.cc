// The record format written and read back, and the rules that tell a torn
// last record from damage.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "persist/crc.h"
#include "persist/format.h"
#include "tests/persist/persist_test_util.h"

namespace pendrakel {
namespace {

using testing::ReadOutcome;
using testing::ReadRecords;
using testing::TempFolder;
using Step = RecordReader::Step;

Bytes AsBytes(const std::string& text) {
  return {reinterpret_cast<const unsigned char*>(text.data()), text.size()};
}

// A journal of three records: a collection, a put, a remove.
class JournalFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = testing::OpenFolder(temp_);
    RecordBatch batch;
    batch.AddFileHeader(FileKind::kJournal, 1);
    batch.AddCollection({7, 100, CollectionKind::kCookie, "pk=abc"});
    offsets_.push_back(batch.bytes());
    batch.AddPut({7, 0, "name", "text/plain", AsBytes(data_)});
    offsets_.push_back(batch.bytes());
    batch.AddRemove({7, "name"});
    offsets_.push_back(batch.bytes());
    testing::WriteBatch(path(), batch);
    bytes_ = testing::ReadAll(path());
  }
  std::string path() const { return temp_.file(DataFolder::JournalName(1)); }
  ReadOutcome Read(bool last) {
    return ReadRecords(*folder_, DataFolder::JournalName(1), FileKind::kJournal,
                       last);
  }
  void Rewrite(const std::string& bytes) { testing::WriteAll(path(), bytes); }

  TempFolder temp_;
  std::unique_ptr<DataFolder> folder_;
  std::string data_ = std::string("bin\0ary", 7) + std::string(300, 'x');
  std::vector<uint64_t> offsets_;  // where each record after the first ends
  std::string bytes_;
};

TEST_F(JournalFileTest, EveryRecordTypeReadsBackAsWritten) {
  TempFolder temp;
  auto folder = testing::OpenFolder(temp);
  // Written in place: they must outlive the write.
  const std::string big(kInPlaceDataBytes + 5, '\0');
  const std::string longType(70000, 't');
  RecordBatch batch;
  batch.AddFileHeader(FileKind::kSnapshot, 3);
  batch.AddCollection({1, -5, CollectionKind::kShared, ""});
  {
    // Large enough to be written in place if it were not copied: it goes
    // before the batch is written.
    std::vector<TouchRecord> touches(2000, {2, 10});
    touches[0] = {1, 9};
    batch.AddTouches(touches);
  }
  batch.AddDrop(4);
  batch.AddPut({1, 1234, "", longType, AsBytes(big)});
  batch.AddRemove({1, ""});
  batch.AddEnd({1, 1});
  testing::WriteBatch(temp.file(DataFolder::SnapshotName(3)), batch);

  std::string why;
  auto reader = RecordReader::Open(*folder, DataFolder::SnapshotName(3),
                                   FileKind::kSnapshot, false, why);
  ASSERT_TRUE(reader) << why;
  EXPECT_EQ(reader->generation(), 3u);
  Record record;
  ASSERT_EQ(reader->Next(record), Step::kRecord);
  CollectionRecord collection;
  ASSERT_TRUE(ParseCollection(record.payload, collection));
  EXPECT_EQ(collection.lastAccess, -5);
  EXPECT_EQ(collection.kind, CollectionKind::kShared);
  ASSERT_EQ(reader->Next(record), Step::kRecord);
  ASSERT_TRUE(IsTouchPayload(record.payload));
  EXPECT_EQ(TouchPairAt(record.payload, 0).lastAccess, 9);
  EXPECT_EQ(TouchPairAt(record.payload, 1999).lastAccess, 10);
  ASSERT_EQ(reader->Next(record), Step::kRecord);
  uint64_t dropped = 0;
  ASSERT_TRUE(ParseDrop(record.payload, dropped));
  EXPECT_EQ(dropped, 4u);
  ASSERT_EQ(reader->Next(record), Step::kRecord);
  PutRecord put;
  ASSERT_TRUE(ParsePut(record.payload, put));
  EXPECT_EQ(put.expiry, 1234);
  EXPECT_EQ(put.name, "");
  EXPECT_EQ(put.contentType.size(), 70000u);
  EXPECT_EQ(std::string(put.data.begin(), put.data.end()), big);
  ASSERT_EQ(reader->Next(record), Step::kRecord);
  RemoveRecord remove;
  ASSERT_TRUE(ParseRemove(record.payload, remove));
  ASSERT_EQ(reader->Next(record), Step::kRecord);
  EndRecord end;
  ASSERT_TRUE(ParseEnd(record.payload, end));
  EXPECT_EQ(reader->Next(record), Step::kEnd);
}

TEST_F(JournalFileTest, ATornLastRecordEndsTheLastJournalAtTheRecordBefore) {
  // Cut inside the last record's head, inside its payload, a last record
  // only partly written, and a tail of zeros the file system left.
  std::string flipped = bytes_;
  flipped.back() ^= 1;
  const std::string tails[] = {
      bytes_.substr(0, offsets_[1] + 7),
      bytes_.substr(0, bytes_.size() - 1),
      flipped,
      bytes_.substr(0, offsets_[1]) + std::string(40, '\0'),
  };
  for (const std::string& tail : tails) {
    Rewrite(tail);
    const ReadOutcome last = Read(/*last=*/true);
    EXPECT_EQ(last.last, Step::kTorn);
    EXPECT_EQ(last.types.size(), 2u);
    EXPECT_EQ(last.goodEnd, offsets_[1]);
    // The same bytes in a journal that is not the last are damage.
    EXPECT_EQ(Read(/*last=*/false).last, Step::kDamaged);
  }
}

TEST_F(JournalFileTest, DamageInsideTheFileNamesTheFileAndTheOffset) {
  std::string payload = bytes_;
  payload[offsets_[0] + kRecordHeadBytes + 2] ^= 0x40;  // inside the put
  std::string head = bytes_;
  head[offsets_[0] + 1] ^= 0x01;  // the put's length
  for (const std::string& damaged : {payload, head}) {
    Rewrite(damaged);
    const ReadOutcome outcome = Read(/*last=*/true);
    EXPECT_EQ(outcome.last, Step::kDamaged);
    EXPECT_EQ(outcome.types.size(), 1u);
    EXPECT_NE(outcome.damage.find(path() + ": damaged at offset " +
                                  std::to_string(offsets_[0]) + ": "),
              std::string::npos)
        << outcome.damage;
  }
  // A record of a type this build does not know, whole and checked.
  std::string unknown = bytes_;
  unsigned char headBytes[kRecordHeadBytes];
  EncodeRecordHead({0, static_cast<RecordType>(9), Crc32(nullptr, 0)},
                   headBytes);
  unknown.insert(offsets_[0], reinterpret_cast<char*>(headBytes),
                 sizeof headBytes);
  Rewrite(unknown);
  EXPECT_NE(Read(true).damage.find("unknown record type 9"), std::string::npos);
}

TEST_F(JournalFileTest, AFileOfAnotherKindOrVersionIsRefused) {
  EXPECT_NE(ReadRecords(*folder_, DataFolder::JournalName(1),
                        FileKind::kSnapshot, false)
                .damage.find("is not a snapshot file"),
            std::string::npos);
  std::string newer = bytes_;
  PutU32(reinterpret_cast<unsigned char*>(newer.data()) + 8, 2);
  PutU32(reinterpret_cast<unsigned char*>(newer.data()) + 28,
         Crc32(newer.data(), 28));
  Rewrite(newer);
  EXPECT_NE(Read(true).damage.find(
                "has format version 2; this build reads version 1"),
            std::string::npos);
  // Even the last journal's header must be whole unless it is all zeros.
  Rewrite(bytes_.substr(0, 20));
  EXPECT_EQ(Read(true).last, Step::kTorn);
  EXPECT_EQ(Read(false).last, Step::kDamaged);
}

}  // namespace
}  // namespace pendrakel
