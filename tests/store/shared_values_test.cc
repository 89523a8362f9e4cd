#include "store/shared_values.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "store/memory_budget.h"
#include "store/value.h"
#include "store/value_ref.h"
#include "store/values.h"
#include "store/values_ref.h"
#include "tests/store/store_test_util.h"

namespace pendrakel {
namespace {

TEST(SharedValues, NeverUsedIsNeverReplaced) {
  MemoryBudget budget;
  SharedValues shared(budget);
  ASSERT_TRUE(shared.Start());
  EXPECT_FALSE(shared.ReplaceIfIdle(1'000'000, 1));
  EXPECT_FALSE(shared.ReplaceIfIdle(1'000'000, -5));
}

TEST(SharedValues, IdleCollectionIsReplacedAndItsValuesAreGone) {
  MemoryBudget budget;
  SharedValues shared(budget);
  ASSERT_TRUE(shared.Start());
  ValuesRef old = shared.Acquire(100);
  ValueRef value = testing::MakeValue(budget, "n", "kept by a request");
  old->Put(value);
  value.reset();

  EXPECT_FALSE(shared.ReplaceIfIdle(1299, 1200));
  EXPECT_TRUE(shared.ReplaceIfIdle(1300, 1200));
  // The request still holding the old collection finishes on it.
  Values::GetResult held = old->Get("n", 1300);
  ASSERT_NE(held.value, nullptr);
  held.value.reset();
  old.reset();
  EXPECT_EQ(budget.total(), 0u);

  ValuesRef fresh = shared.Acquire(1400);
  EXPECT_NE(fresh, nullptr);
  EXPECT_EQ(fresh->Get("n", 1400).value, nullptr);
  fresh.reset();
}

TEST(SharedValues, AcquireAfterStopYieldsNothing) {
  MemoryBudget budget;
  SharedValues shared(budget);
  ASSERT_TRUE(shared.Start());
  shared.Stop();
  shared.Stop();  // harmless twice
  EXPECT_EQ(shared.Acquire(1), nullptr);
  EXPECT_EQ(shared.AcquireUntouched(), nullptr);
}

// Requests take references while the collector keeps replacing the shared
// collection: no reference may ever land on a released collection (the
// sanitizer runs catch a use after free here).
TEST(SharedValues, AcquireRacingReplaceNeverTouchesAReleasedCollection) {
  MemoryBudget budget;
  SharedValues shared(budget);
  ASSERT_TRUE(shared.Start());
  shared.Acquire(500).reset();  // used once: idle from the start
  std::atomic<int> running{2};
  std::atomic<int> replaced{0};
  std::thread collector([&] {
    while (running > 0) {
      if (shared.ReplaceIfIdle(1'000, -1)) replaced++;
    }
  });
  std::vector<std::thread> requests;
  for (int t = 0; t < 2; ++t) {
    requests.emplace_back([&] {
      // Until the collector has replaced at least once: on a loaded machine
      // it may not get a core before the first 3000 are done.
      for (int i = 0; i < 3000 || (replaced.load() == 0 && i < 3'000'000);
           ++i) {
        ValuesRef values = shared.Acquire(500);
        ASSERT_NE(values, nullptr);
        ValueRef value = testing::MakeValue(budget, "k", "x");
        values->Put(value);
        value.reset();
        values.reset();
      }
      running--;
    });
  }
  for (auto& thread : requests) thread.join();
  collector.join();
  EXPECT_GT(replaced.load(), 0);
  shared.Stop();
  EXPECT_EQ(budget.total(), 0u);
}

}  // namespace
}  // namespace pendrakel
