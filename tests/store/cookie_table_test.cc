#include "store/cookie_table.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "store/idle.h"
#include "store/memory_budget.h"
#include "store/value_ref.h"
#include "store/values.h"
#include "store/values_ref.h"
#include "tests/store/store_test_util.h"

namespace pendrakel {
namespace {

using testing::MakeValue;

TEST(IsIdle, BoundaryZeroAndExtremeLimits) {
  EXPECT_TRUE(IsIdle(1000, 2200, 1200));
  EXPECT_FALSE(IsIdle(1000, 2199, 1200));
  EXPECT_FALSE(IsIdle(0, 5000, 1));      // never resolved: never idle
  EXPECT_TRUE(IsIdle(1000, 1000, -60));  // a negative limit: all are idle
  EXPECT_TRUE(IsIdle(INT64_MAX, 5, INT64_MIN));
  EXPECT_FALSE(IsIdle(1, -5, INT64_MAX));
}

TEST(CookieTable, AcquireFindsOnlyTheExactTextAndTouchesIt) {
  MemoryBudget budget;
  CookieTable table(budget);
  CookieTable::AcquireResult made = table.AcquireOrCreate("id=1", 10);
  ASSERT_NE(made.values, nullptr);
  EXPECT_TRUE(made.created);
  EXPECT_EQ(made.values->Put(MakeValue(budget, "n", "v")),
            Values::PutOutcome::kCreated);
  EXPECT_EQ(made.values->lastAccess(), 10);

  EXPECT_EQ(table.Acquire("ID=1", 20), nullptr);
  EXPECT_EQ(table.Acquire("id=1 ", 20), nullptr);
  EXPECT_EQ(table.Acquire("id=1; b=2", 20), nullptr);
  ValuesRef again = table.Acquire("id=1", 20);
  EXPECT_EQ(again.get(), made.values.get());
  EXPECT_EQ(again->lastAccess(), 20);

  CookieTable::AcquireResult found = table.AcquireOrCreate("id=1", 30);
  EXPECT_EQ(found.values.get(), made.values.get());
  EXPECT_FALSE(found.created);
  made.values.reset();
  again.reset();
  found.values.reset();
  EXPECT_EQ(table.size(), 1u);
  EXPECT_EQ(budget.total(), 1u);  // the table's own handle holds it
  std::vector<ValuesRef> dropped;
  table.CollectIdle(/*now=*/40, /*idleLimit=*/-1, dropped);
  dropped.clear();
  EXPECT_EQ(budget.total(), 0u);  // and no other handle was left over
}

TEST(CookieTable, ChargesEachCookieTextAndRefusesACollectionThatDoesNotFit) {
  MemoryBudget budget;
  budget.SetMax(1);
  {
    CookieTable table(budget);
    const std::string cookie(1000, 'c');
    table.AcquireOrCreate(cookie, 10).values.reset();
    const uint64_t one = budget.charged();
    EXPECT_GT(one, cookie.size());  // the text, its collection, the index
    const MemoryCost squeeze{0, 1 + kBookkeepingAllowanceBytes - one};
    ASSERT_TRUE(budget.Charge(squeeze));
    EXPECT_EQ(table.AcquireOrCreate(cookie + "x", 10).values, nullptr);
    EXPECT_EQ(table.size(), 1u);
    EXPECT_NE(table.Acquire(cookie, 11), nullptr);  // the one in stays
    budget.GiveBack(squeeze);
  }
  EXPECT_EQ(budget.charged(), 0u);
}

TEST(CookieTable, InsertOfATakenCookieLeavesTheEntryAlone) {
  MemoryBudget budget;
  CookieTable table(budget);
  ValuesRef first = Values::Create(budget);
  ValuesRef second = Values::Create(budget);
  second->Put(MakeValue(budget, "n", "v"));
  EXPECT_EQ(table.Insert("abc", first), CookieTable::InsertOutcome::kInserted);
  EXPECT_EQ(table.Insert("abc", second), CookieTable::InsertOutcome::kTaken);
  ValuesRef found = table.Acquire("abc", 1);
  EXPECT_EQ(found.get(), first.get());
  found.reset();
  first.reset();
  second.reset();
  EXPECT_EQ(budget.total(), 0u);  // the table took no handle on `second`
}

TEST(CookieTable, CollectIdleTakesCollectionsAtTheLimitButNotBefore) {
  MemoryBudget budget;
  CookieTable table(budget);
  for (auto [cookie, time] : {std::pair{"a", 100}, {"b", 101}, {"c", 0}}) {
    ValuesRef values = Values::Create(budget);
    values->Touch(time);
    table.Insert(cookie, values);
    values.reset();
  }
  std::vector<ValuesRef> idle;
  table.CollectIdle(/*now=*/1299, /*idleLimit=*/1200, idle);
  EXPECT_TRUE(idle.empty());
  table.CollectIdle(/*now=*/1300, /*idleLimit=*/1200, idle);
  ASSERT_EQ(idle.size(), 1u);
  EXPECT_EQ(idle[0]->lastAccess(), 100);
  idle.clear();
  EXPECT_EQ(table.size(), 2u);  // "c" was never used: never idle
}

TEST(CookieTable, WalksGoInKeyOrderWhateverTheInsertOrder) {
  MemoryBudget budget;
  CookieTable table(budget);
  for (auto [cookie, time] :
       {std::pair{"pk=b", 1}, {"pk=a", 2}, {"pk=c", 3}, {"pk=\xff", 4}}) {
    ValuesRef values = Values::Create(budget);
    values->Touch(time);
    table.Insert(cookie, values);
  }
  std::vector<ValuesRef> all;
  table.AcquireAll(all);
  std::vector<ValuesRef> idle;
  table.CollectIdle(/*now=*/100, /*idleLimit=*/10, idle);
  for (const auto* walk : {&all, &idle}) {
    std::vector<int64_t> order;
    for (const ValuesRef& values : *walk) order.push_back(values->lastAccess());
    EXPECT_EQ(order, (std::vector<int64_t>{2, 1, 3, 4}));  // a, b, c, \xff
  }
  EXPECT_EQ(table.size(), 0u);
}

TEST(CookieTable, SameNewCookieFromManyThreadsMakesOneCollection) {
  MemoryBudget budget;
  CookieTable table(budget);
  std::atomic<int> created{0};
  std::vector<ValuesRef> seen(8);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      CookieTable::AcquireResult got = table.AcquireOrCreate("same", 5);
      if (got.created) created++;
      seen[t] = std::move(got.values);
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(created.load(), 1);
  Values* const first = seen[0].get();
  first->Put(MakeValue(budget, "n", "v"));
  for (ValuesRef& values : seen) {
    EXPECT_EQ(values.get(), first);
    values.reset();
  }
  // Eight handles given back, one per caller: the table's alone holds it.
  EXPECT_EQ(budget.total(), 1u);
  std::vector<ValuesRef> dropped;
  table.CollectIdle(/*now=*/6, /*idleLimit=*/-1, dropped);
  dropped.clear();
  EXPECT_EQ(budget.total(), 0u);
}

// The walks go in slices of the lock; collections leave the table between
// slices (the idle pass) while a snapshot walks over them. The sanitizer
// runs catch a walk that steps on an entry already freed.
TEST(CookieTable, SlicedWalksSurviveEntriesLeavingBetweenSlices) {
  MemoryBudget budget;
  {
    CookieTable table(budget);
    const size_t kCookies = 8 * kWalkSliceEntries;
    std::atomic<bool> done{false};
    std::thread snapshots([&] {
      while (!done) {
        std::vector<ValuesRef> all;
        table.AcquireAll(all);
        EXPECT_LE(all.size(), kCookies);
      }
    });
    for (int round = 0; round < 20; ++round) {
      for (size_t i = 0; i < kCookies; ++i) {
        table.AcquireOrCreate("c" + std::to_string(i), 10).values.reset();
      }
      std::vector<ValuesRef> idle;
      table.CollectIdle(/*now=*/100, /*idleLimit=*/1, idle);
      EXPECT_EQ(idle.size(), kCookies);
    }
    done = true;
    snapshots.join();
    EXPECT_EQ(table.size(), 0u);
  }
  EXPECT_EQ(budget.charged(), 0u);
}

}  // namespace
}  // namespace pendrakel
