// The change queue and the writer thread: order, the two sync promises, a
// failing disk, and the snapshot that replaces the journal.
#include "persist/journal.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <map>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "persist/folder_reader.h"
#include "persist/journal_file.h"
#include "persist/store_walker.h"
#include "store/change_queue.h"
#include "store/memory_budget.h"
#include "tests/persist/persist_test_util.h"
#include "tests/store/store_test_util.h"

namespace pendrakel {
namespace {

using testing::Eventually;
using testing::MakeValue;
using testing::TempFolder;

void Push(ChangeQueue& queue, Change* change, SyncTicket* ticket = nullptr) {
  ASSERT_NE(change, nullptr);
  if (queue.Push(ChangePtr(change), ticket)) queue.Wake();
}

// Bytes of the record a put or remove change becomes.
uint64_t RecordBytes(const Change& change) {
  RecordBatch batch;
  if (change.kind() == Change::Kind::kPut) {
    const Value& value = *change.value();
    batch.AddPut({change.id(), value.expiry(), value.name(),
                  value.contentType(), Bytes(value.data(), value.size())});
  } else {
    batch.AddRemove({change.id(), change.text()});
  }
  return batch.bytes();
}

TEST(ChangeQueue, ConcurrentPushesComeOutInTheOrderOfEachPusher) {
  ChangeQueue queue(false);
  constexpr uint64_t kPerThread = 20000;
  std::vector<std::thread> pushers;
  for (uint64_t t = 0; t < 3; ++t) {
    pushers.emplace_back([&queue, t] {
      for (uint64_t i = 0; i < kPerThread; ++i)
        queue.Push(ChangePtr(Change::MakeDrop(t * kPerThread + i)));
    });
  }
  std::vector<uint64_t> next = {0, kPerThread, 2 * kPerThread};
  size_t seen = 0;
  while (seen < 3 * kPerThread) {
    for (Change* change = queue.TakeAll(); change != nullptr;) {
      Change* following = change->next;
      const uint64_t pusher = change->id() / kPerThread;
      EXPECT_EQ(change->id(), next[pusher]++);
      ++seen;
      change->Release();
      change = following;
    }
  }
  for (std::thread& pusher : pushers) pusher.join();
}

// A store of one shared collection (id 1) holding `values`.
class FakeStore : public StoreWalker {
 public:
  void AppendTouches(std::vector<TouchRecord>& touches, bool all) override {
    if (all) touches.push_back({1, 42});
    ++touchCalls;
  }
  bool Snapshot(SnapshotSink& sink) override {
    sink.batch().AddCollection({1, 42, CollectionKind::kShared, {}});
    ++sink.counts().collections;
    for (const ValueRef& value : values) {
      sink.batch().AddPut({1, 0, value->name(), value->contentType(),
                           Bytes(value->data(), value->size())});
      sink.Hold(value.Share());
      ++sink.counts().values;
      if (!sink.BetweenSlices()) return false;
    }
    return true;
  }

  std::vector<ValueRef> values;
  int touchCalls = 0;
};

// A journal writer on a fresh folder, and what the folder reads back as.
class JournalTest : public ::testing::Test {
 protected:
  void Start(SyncMode sync, uint64_t compactMinBytes = kCompactMinBytes) {
    queue_ = std::make_unique<ChangeQueue>(sync == SyncMode::kAlways);
    std::string why;
    auto folder = testing::OpenFolder(temp_);
    auto file = JournalFile::Create(*folder, 1, why);
    ASSERT_TRUE(file) << why;
    journal_ = std::make_unique<Journal>(std::move(folder), std::move(file), 0,
                                         *queue_, store_,
                                         JournalOptions{sync, compactMinBytes});
    ASSERT_TRUE(journal_->Start());
  }
  void Stop() { journal_.reset(); }
  // Pushes a change made here, noting the bytes it takes in the journal.
  void Push(Change* change, SyncTicket* ticket = nullptr) {
    ASSERT_NE(change, nullptr);
    {
      MutexLock hold(encodedLock_);
      encoded_.push_back(RecordBytes(*change));
    }
    pendrakel::Push(*queue_, change, ticket);
  }

  // Each put as "name=bytes", each remove as "-name", in file order.
  std::vector<std::string> ReadBack() {
    std::vector<std::string> seen;
    auto folder = testing::OpenFolder(temp_);
    std::string why;
    FolderState state;
    EXPECT_TRUE(ReadFolder(
        *folder,
        [&](FileKind, const Record& record) {
          PutRecord put;
          RemoveRecord remove;
          if (record.type == RecordType::kPut && ParsePut(record.payload, put))
            seen.push_back(std::string(put.name) + "=" +
                           std::string(put.data.begin(), put.data.end()));
          if (record.type == RecordType::kRemove &&
              ParseRemove(record.payload, remove))
            seen.push_back("-" + std::string(remove.name));
          return std::string();
        },
        state, why))
        << why;
    return seen;
  }
  // The journal's size once the first `count` changes pushed are in it.
  uint64_t Encoded(size_t count) {
    MutexLock hold(encodedLock_);
    return kFileHeaderBytes + std::accumulate(encoded_.begin(),
                                              encoded_.begin() + count,
                                              uint64_t{0});
  }
  uint64_t JournalBytes() {
    std::error_code error;
    return std::filesystem::file_size(temp_.file(DataFolder::JournalName(1)),
                                      error);
  }

  TempFolder temp_;
  MemoryBudget budget_;
  FakeStore store_;
  std::unique_ptr<ChangeQueue> queue_;
  std::unique_ptr<Journal> journal_;
  Mutex encodedLock_;
  std::vector<uint64_t> encoded_ GUARDED_BY(encodedLock_);  // in push order
};

TEST_F(JournalTest, SecondWritesEveryChangeInOrderWithinASecond) {
  Start(SyncMode::kSecond);
  Push(Change::MakePut(1, MakeValue(budget_, "a", "one")));
  Push(Change::MakePut(1, MakeValue(budget_, "a", std::string(20000, 'z'))));
  Push(Change::MakeRemove(1, "a"));
  Push(Change::MakePut(1, MakeValue(budget_, "b", std::string("\0\1", 2))));
  // Written without being asked, well within the promise.
  EXPECT_TRUE(Eventually([&] { return JournalBytes() == Encoded(4); }));
  Stop();
  const std::vector<std::string> expected = {
      "a=one", "a=" + std::string(20000, 'z'), "-a",
      "b=" + std::string("\0\1", 2)};
  EXPECT_EQ(ReadBack(), expected);
  EXPECT_GE(store_.touchCalls, 1);  // every last access, at the stop
  EXPECT_EQ(budget_.total(), 0u);   // the writer held the values until then
}

TEST_F(JournalTest, AlwaysAnswersEachWaiterOnlyOnceItsChangeIsSynced) {
  Start(SyncMode::kAlways);
  constexpr int kWriters = 4, kEach = 50;
  std::vector<std::thread> writers;
  std::atomic<int> kept{0};
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&, w] {
      for (int i = 0; i < kEach; ++i) {
        const std::string name = std::to_string(w) + "-" + std::to_string(i);
        SyncTicket ticket;
        Push(Change::MakePut(1, MakeValue(budget_, name, "v")), &ticket);
        ASSERT_TRUE(ticket);
        if (ticket.Wait()) ++kept;
      }
    });
  }
  for (std::thread& writer : writers) writer.join();
  EXPECT_EQ(kept.load(), kWriters * kEach);
  // Everything answered is in the file before the writer stops.
  EXPECT_EQ(JournalBytes(), Encoded(kWriters * kEach));
  Stop();
  EXPECT_EQ(ReadBack().size(), static_cast<size_t>(kWriters * kEach));
}

// A file-size limit makes the journal's writes fail, as a full disk would.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(uint64_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails with EFBIG
    rlimit limit = saved_;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() { Lift(); }
  void Lift() { setrlimit(RLIMIT_FSIZE, &saved_); }

 private:
  rlimit saved_{};
};

TEST_F(JournalTest, AFailingWriteRefusesChangesUntilItWorksAndLosesNone) {
  for (SyncMode sync : {SyncMode::kSecond, SyncMode::kAlways}) {
    SCOPED_TRACE(SyncModeName(sync));
    std::filesystem::remove_all(temp_.path());
    std::filesystem::create_directory(temp_.path());
    Start(sync);
    // Room in the limit for the lines logged to the captured stderr, which
    // the limit bounds too.
    SyncTicket first;
    Push(
        Change::MakePut(1, MakeValue(budget_, "first", std::string(2000, 'f'))),
        &first);
    ASSERT_TRUE(Eventually([&] { return JournalBytes() == Encoded(1); }));
    ::testing::internal::CaptureStderr();
    FileSizeLimit limit(JournalBytes() + 100);
    SyncTicket ticket;
    for (int i = 0; i < 5; ++i) {
      Push(Change::MakePut(1, MakeValue(budget_, "k" + std::to_string(i),
                                        std::string(60, 'x'))),
           &ticket);
    }
    ASSERT_TRUE(Eventually([&] { return !queue_->Accepting(); }));
    if (ticket) {
      EXPECT_FALSE(ticket.Wait());  // told at once, not kept
    }
    // A change that arrives while writing fails is answered at once too,
    // not once the disk works again.
    SyncTicket late;
    Push(Change::MakePut(1, MakeValue(budget_, "late", "l")), &late);
    if (late) {
      EXPECT_FALSE(late.Wait());
    }
    limit.Lift();
    ASSERT_TRUE(Eventually([&] { return queue_->Accepting(); }));
    Stop();
    const std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("cannot write (File too large); stores and deletes "
                       "are refused until writing works again"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("writing works again after"), std::string::npos) << log;
    // Nothing queued before or during the failure is lost.
    EXPECT_EQ(ReadBack().size(), 7u);
    MutexLock hold(encodedLock_);
    encoded_.clear();
  }
}

TEST_F(JournalTest, AJournalBeyondTheLiveDataIsRewrittenAsASnapshot) {
  for (int i = 0; i < 3; ++i)
    store_.values.push_back(
        MakeValue(budget_, "live" + std::to_string(i), "L"));
  Start(SyncMode::kSecond, /*compactMinBytes=*/4096);
  for (int i = 0; i < 100; ++i)
    Push(Change::MakePut(1, MakeValue(budget_, "x", std::string(100, 'r'))));
  ASSERT_TRUE(Eventually([&] {
    return std::filesystem::exists(temp_.file(DataFolder::SnapshotName(2)));
  }));
  Push(Change::MakeRemove(1, "live0"));
  Stop();
  EXPECT_FALSE(std::filesystem::exists(temp_.file(DataFolder::JournalName(1))));
  // The snapshot's values, then what came after it. Puts of "x" the writer
  // had not taken when the snapshot began follow it in the new journal (the
  // test's store holds no "x", so the snapshot has none): left out here.
  std::vector<std::string> read = ReadBack();
  std::erase_if(read, [](const std::string& r) { return r.starts_with("x="); });
  const std::vector<std::string> expected = {"live0=L", "live1=L", "live2=L",
                                             "-live0"};
  EXPECT_EQ(read, expected);
}

}  // namespace
}  // namespace pendrakel
