// Every insert into the store's indexes with the heap failing at each of its
// allocations in turn: the store answers no memory, keeps what it had, and
// after teardown every byte is back.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "store/cookie_table.h"
#include "store/memory_budget.h"
#include "store/values.h"
#include "store/values_ref.h"
#include "tests/failing_allocation.h"
#include "tests/store/store_test_util.h"

namespace pendrakel {
namespace {

using testing::AllocationFailed;
using testing::FailAllocationAfter;
using testing::MakeValue;

TEST(OutOfMemory, PutThatCannotGrowTheIndexStoresNothingAndHoldsNothing) {
  if (!testing::kCanFailAllocations) GTEST_SKIP() << "operator new is not ours";
  MemoryBudget budget;
  {
    ValuesRef values = Values::Create(budget);
    ValueRef value = MakeValue(budget, "n", "12345");
    FailAllocationAfter(0);
    EXPECT_EQ(values->Put(value), Values::PutOutcome::kNoMemory);
    EXPECT_TRUE(AllocationFailed());
    EXPECT_EQ(values->Get("n", 0).value, nullptr);
    EXPECT_EQ(values->Put(value), Values::PutOutcome::kCreated);
  }
  EXPECT_EQ(budget.total(), 0u);
}

TEST(OutOfMemory, CookieTableInsertsFailWholeAtEveryAllocation) {
  if (!testing::kCanFailAllocations) GTEST_SKIP() << "operator new is not ours";
  MemoryBudget budget;
  {
    CookieTable table(budget);
    // Longer than a short string holds: its copy is one more allocation.
    const std::string cookie(40, 'c');
    for (int skip = 0;; ++skip) {
      FailAllocationAfter(skip);
      CookieTable::AcquireResult got = table.AcquireOrCreate(cookie, 1);
      if (!AllocationFailed()) {
        ASSERT_NE(got.values, nullptr);
        break;
      }
      EXPECT_EQ(got.values, nullptr);
      EXPECT_EQ(table.size(), 0u);
    }
    ValuesRef made = Values::Create(budget);
    ASSERT_EQ(made->Put(MakeValue(budget, "n", "12345")),
              Values::PutOutcome::kCreated);
    const std::string other = "other" + cookie;
    for (int skip = 0;; ++skip) {
      FailAllocationAfter(skip);
      const CookieTable::InsertOutcome outcome = table.Insert(other, made);
      if (!AllocationFailed()) {
        ASSERT_EQ(outcome, CookieTable::InsertOutcome::kInserted);
        break;
      }
      EXPECT_EQ(outcome, CookieTable::InsertOutcome::kNoMemory);
      EXPECT_EQ(table.size(), 1u);
    }
  }
  EXPECT_EQ(budget.total(), 0u);
}

// A large index whose growth the heap refused is not grown again for every
// request: a new cookie is refused at once until kGrowthRetryAfter passed.
TEST(OutOfMemory, ARefusedLargeGrowthIsNotRetriedAtOnce) {
  if (!testing::kCanFailAllocations) GTEST_SKIP() << "operator new is not ours";
  MemoryBudget budget;
  {
    CookieTable table(budget);
    // An index of 16 383 slots, past where the heap maps it on its own,
    // grows before its 14 336th entry.
    int next = 0;
    auto enter = [&] {
      return table.AcquireOrCreate("c" + std::to_string(next++), 1).values;
    };
    while (table.size() < 14'335) ASSERT_NE(enter(), nullptr);
    // The collection and its entry are made; the bigger index is not.
    FailAllocationAfter(2);
    EXPECT_EQ(enter(), nullptr);
    EXPECT_TRUE(AllocationFailed());
    EXPECT_EQ(enter(), nullptr);  // the heap would give it now: not asked
    EXPECT_EQ(table.size(), 14'335u);
    std::this_thread::sleep_for(kGrowthRetryAfter);
    EXPECT_NE(enter(), nullptr);
  }
  EXPECT_EQ(budget.charged(), 0u);
}

}  // namespace
}  // namespace pendrakel
