#include "base/mutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "tests/on_each_processor.h"

namespace pendrakel {
namespace {

TEST(MutexDeathTest, TakingALockWhileHoldingAnotherAbortsInCheckedBuilds) {
  if (!kDebugChecks) GTEST_SKIP() << "lock depth is checked in debug builds";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Mutex outer;
  Mutex inner;
  {
    MutexLock hold(outer);
    EXPECT_EQ(Mutex::HeldByThisThread(), 1);
  }
  MutexLock again(inner);  // one at a time is the rule, and fine
  EXPECT_DEATH(MutexLock nested(outer), "check failed: held_ == 0");
}

// Readers on different processors lock different slots; a writer must
// still exclude every one of them. The writer leaves the value odd for a
// moment in each hold, so a reader let in beside it sees an odd value.
TEST(SharedMutexTest, AWriterExcludesTheReadersOfEveryProcessor) {
  struct Guarded {
    SharedMutex lock;
    int value GUARDED_BY(lock) = 0;
  } guarded;
  std::atomic<bool> writing{true};
  std::atomic<int> oddSeen{0};
  std::vector<std::thread> readers = testing::StartOnEachProcessor([&] {
    while (writing.load()) {
      ReaderLock hold(guarded.lock);
      if (guarded.value % 2 != 0) oddSeen.fetch_add(1);
    }
  });
  for (int i = 0; i < 1000; ++i) {
    WriterLock hold(guarded.lock);
    ++guarded.value;
    std::this_thread::yield();
    ++guarded.value;
  }
  writing.store(false);
  for (std::thread& reader : readers) reader.join();
  EXPECT_EQ(oddSeen.load(), 0);
}

}  // namespace
}  // namespace pendrakel
