// What the folder's records mean when the store is rebuilt from them.
#include "persist/rebuild.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "persist/record_batch.h"
#include "tests/persist/persist_test_util.h"

namespace pendrakel {
namespace {

constexpr int64_t kNow = 1'000'000;

// The collections as maps of name to bytes, and what was published.
class Model : public RebuildTarget {
 public:
  bool NewCollection(uint64_t id) override {
    building[id];
    return true;
  }
  bool Put(uint64_t id, const PutRecord& put) override {
    building[id][std::string(put.name)] =
        std::string(put.contentType) + ":" +
        std::string(put.data.begin(), put.data.end());
    return true;
  }
  void Remove(uint64_t id, std::string_view name) override {
    building[id].erase(std::string(name));
  }
  void DropCollection(uint64_t id) override { building.erase(id); }
  bool PublishCookie(uint64_t id, std::string_view cookie,
                     int64_t lastAccess) override {
    cookies[std::string(cookie)] = {building[id], lastAccess};
    return true;
  }
  bool PublishShared(uint64_t id, int64_t lastAccess) override {
    shared = {building[id], lastAccess};
    return true;
  }

  using Collection = std::pair<std::map<std::string, std::string>, int64_t>;
  std::map<uint64_t, std::map<std::string, std::string>> building;
  std::map<std::string, Collection> cookies;
  Collection shared;
};

Bytes Data(std::string_view text) {
  return {reinterpret_cast<const unsigned char*>(text.data()), text.size()};
}

// Applies the records of `batch` (laid out as one journal) to a rebuild.
std::string ApplyAll(Rebuild& rebuild, const RecordBatch& batch,
                     FileKind kind = FileKind::kJournal) {
  testing::TempFolder temp;
  const std::string name = kind == FileKind::kJournal
                               ? DataFolder::JournalName(1)
                               : DataFolder::SnapshotName(1);
  testing::WriteBatch(temp.file(name), batch);
  auto folder = testing::OpenFolder(temp);
  std::string why;
  auto reader = RecordReader::Open(*folder, name, kind, false, why);
  if (!reader) return why;
  Record record;
  while (reader->Next(record) == RecordReader::Step::kRecord) {
    if (std::string wrong = rebuild.Apply(kind, record); !wrong.empty())
      return wrong;
  }
  return {};
}

TEST(Rebuild, TheLastChangeOfEachNameIsWhatComesBack) {
  Model model;
  Rebuild rebuild(model, kNow, 1200);
  RecordBatch batch;
  batch.AddFileHeader(FileKind::kJournal, 1);
  batch.AddCollection({1, kNow - 10, CollectionKind::kShared, ""});
  batch.AddCollection({2, kNow - 100, CollectionKind::kCookie, "pk=a"});
  batch.AddPut({2, 0, "x", "text/plain", Data("one")});
  batch.AddPut({2, 0, "x", "", Data(std::string("t\0o", 3))});  // replaced
  batch.AddPut({2, 0, "y", "", Data("gone")});
  batch.AddRemove({2, "y"});
  batch.AddPut({2, kNow + 30, "later", "", Data("l")});
  batch.AddPut({2, 0, "old", "", Data("o")});
  batch.AddPut({2, kNow, "old", "", Data("expired")});  // expired: gone
  batch.AddPut({1, 0, "s", "", Data("shared")});
  batch.AddPut({9, 0, "s", "", Data("unknown collection")});
  const TouchRecord touches[] = {{2, kNow - 5}, {2, kNow - 50}};
  batch.AddTouches(touches);
  batch.AddCollection({2, kNow - 70, CollectionKind::kCookie, "pk=a"});
  ASSERT_EQ(ApplyAll(rebuild, batch), "");
  std::string why;
  ASSERT_TRUE(rebuild.Publish(why)) << why;
  const std::map<std::string, std::string> expected = {
      {"later", ":l"}, {"x", ":" + std::string("t\0o", 3)}};
  EXPECT_EQ(model.cookies["pk=a"].first, expected);
  EXPECT_EQ(model.cookies["pk=a"].second, kNow - 5);  // the latest access
  EXPECT_EQ(model.shared.first.at("s"), ":shared");
  EXPECT_EQ(rebuild.highestId(), 2u);
}

TEST(Rebuild, DroppedRenewedAndIdleCollectionsDoNotComeBack) {
  Model model;
  Rebuild rebuild(model, kNow, 1200);
  RecordBatch batch;
  batch.AddFileHeader(FileKind::kJournal, 1);
  batch.AddCollection({1, kNow, CollectionKind::kShared, ""});
  batch.AddPut({1, 0, "s", "", Data("old shared")});
  batch.AddCollection({5, 0, CollectionKind::kShared, ""});  // renewed
  batch.AddCollection({2, kNow, CollectionKind::kCookie, "pk=a"});
  batch.AddPut({2, 0, "x", "", Data("dropped")});
  batch.AddDrop(2);
  batch.AddPut({2, 0, "y", "", Data("written after the drop")});
  // The cookie again, in a new collection; then a stale record of an older
  // id for it.
  batch.AddCollection({3, kNow, CollectionKind::kCookie, "pk=a"});
  batch.AddCollection({2, kNow, CollectionKind::kCookie, "pk=a"});
  batch.AddCollection({4, kNow - 1200, CollectionKind::kCookie, "pk=idle"});
  batch.AddPut({4, 0, "z", "", Data("idle")});
  ASSERT_EQ(ApplyAll(rebuild, batch), "");
  std::string why;
  ASSERT_TRUE(rebuild.Publish(why)) << why;
  EXPECT_TRUE(model.shared.first.empty());
  ASSERT_EQ(model.cookies.size(), 1u);
  EXPECT_TRUE(model.cookies["pk=a"].first.empty());
  EXPECT_TRUE(model.building.size() == 2 && !model.building.contains(4))
      << "the idle collection is dropped, not published";

  // With idle dropping off, the same collection comes back.
  Model kept;
  Rebuild keep(kept, kNow, 0);
  ASSERT_EQ(ApplyAll(keep, batch), "");
  ASSERT_TRUE(keep.Publish(why));
  EXPECT_EQ(kept.cookies["pk=idle"].first.at("z"), ":idle");
}

TEST(Rebuild, ASnapshotWhoseEndMiscountsIsDamage) {
  Model model;
  Rebuild rebuild(model, kNow, 0);
  RecordBatch batch;
  batch.AddFileHeader(FileKind::kSnapshot, 1);
  batch.AddCollection({1, 0, CollectionKind::kShared, ""});
  batch.AddPut({1, 0, "a", "", Data("1")});
  batch.AddEnd({1, 2});
  EXPECT_EQ(ApplyAll(rebuild, batch, FileKind::kSnapshot),
            "the end record counts 1 collections and 2 values, the snapshot "
            "holds 1 and 1");
}

}  // namespace
}  // namespace pendrakel
