// The store's files as the running store sees them: a store written, its
// journal rewritten as a snapshot while it changes, and loaded again whole;
// and the memory maximum while loading.
#include "persist/persistence.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "persist/data_folder.h"
#include "store/cookie_table.h"
#include "store/lazy_free.h"
#include "store/memory_budget.h"
#include "store/shared_values.h"
#include "store/values.h"
#include "tests/persist/persist_test_util.h"
#include "tests/store/store_test_util.h"

namespace pendrakel {
namespace {

using testing::Bytes;
using testing::MakeValue;
using testing::TempFolder;

int64_t TestClock() { return 1'000'000; }

// A store's objects as the module keeps them, without its collectors.
struct Store {
  bool Start(const TempFolder& folder, uint64_t memoryMax = 0,
             std::string* why = nullptr) {
    std::string problem;
    budget.SetMax(memoryMax);
    const bool started =
        shared.Start() &&
        persistence.Start({folder.path(), SyncMode::kSecond,
                           /*idleLimit=*/0, memoryMax,
                           /*compactMinBytes=*/4096},
                          {budget, lazyFree, cookies, shared, TestClock},
                          problem);
    if (why != nullptr) *why = problem;
    return started;
  }
  ValuesRef Cookie(int n) {
    return cookies.AcquireOrCreate("c=" + std::to_string(n), TestClock())
        .values;
  }
  // "name=bytes" of one collection's values, in name order.
  static std::string Contents(Values& values, int names) {
    std::string all;
    for (int i = 0; i < names; ++i) {
      Values::GetResult found = values.Get("n" + std::to_string(i), 0);
      if (found.value)
        all += "n" + std::to_string(i) + "=" + Bytes(*found.value) + " ";
    }
    return all;
  }

  MemoryBudget budget;
  LazyFree lazyFree;
  CookieTable cookies{budget, &lazyFree};
  SharedValues shared{budget, &lazyFree};
  Persistence persistence;
};

TEST(Persistence, AStoreRewrittenAsASnapshotWhileItChangesLoadsWhole) {
  TempFolder folder;
  std::string before;
  uint64_t total = 0;
  {
    Store store;
    ASSERT_TRUE(store.Start(folder));
    for (int round = 0; round < 30; ++round) {
      for (int c = 0; c < 20; ++c) {
        ValuesRef values =
            c == 0 ? store.shared.Acquire(TestClock()) : store.Cookie(c);
        for (int i = 0; i < 10; ++i) {
          const std::string bytes =
              std::to_string(round) + std::string(c + i, 'v');
          ASSERT_NE(values->Put(MakeValue(store.budget, "n" + std::to_string(i),
                                          bytes)),
                    Values::PutOutcome::kNoMemory);
        }
        values->Remove("n" + std::to_string(round % 10));
      }
    }
    ASSERT_TRUE(testing::Eventually([&] {
      return std::filesystem::exists(folder.file(DataFolder::SnapshotName(2)));
    }));
    for (int c = 0; c < 20; ++c) {
      ValuesRef values =
          c == 0 ? store.shared.Acquire(TestClock()) : store.Cookie(c);
      before += Store::Contents(*values, 10) + "| ";
    }
    store.persistence.Stop();
    total = store.budget.total();
  }
  // The first generation went with the snapshot.
  EXPECT_FALSE(
      std::filesystem::exists(folder.file(DataFolder::JournalName(1))));
  Store store;
  ASSERT_TRUE(store.Start(folder));
  std::string after;
  for (int c = 0; c < 20; ++c) {
    ValuesRef values =
        c == 0 ? store.shared.Acquire(TestClock()) : store.Cookie(c);
    after += Store::Contents(*values, 10) + "| ";
  }
  EXPECT_EQ(after, before);
  EXPECT_EQ(store.budget.total(), total);
}

TEST(Persistence, AStoreLargerThanTheMaximumFailsStartUpAndSaysSo) {
  TempFolder folder;
  {
    Store store;
    ASSERT_TRUE(store.Start(folder));
    ValuesRef values = store.shared.Acquire(TestClock());
    for (int i = 0; i < 20; ++i)
      values->Put(MakeValue(store.budget, "n" + std::to_string(i),
                            std::string(1000, 'x')));
  }
  std::string why;
  {
    // Loading stops well before it would take all of them.
    Store store;
    EXPECT_FALSE(store.Start(folder, /*memoryMax=*/1000, &why));
    EXPECT_NE(why.find("loading stopped at 6 values taking 6000 bytes, more "
                       "than the memory maximum of 1000 bytes"),
              std::string::npos)
        << why;
  }
  {
    // Within the bound of what later records might undo: loaded, then
    // refused exactly.
    Store store;
    EXPECT_FALSE(store.Start(folder, /*memoryMax=*/19999, &why));
    EXPECT_NE(why.find("its values take 20000 bytes, more than the memory "
                       "maximum of 19999 bytes"),
              std::string::npos)
        << why;
  }
  Store store;
  EXPECT_TRUE(store.Start(folder, /*memoryMax=*/20000, &why)) << why;
}

}  // namespace
}  // namespace pendrakel
