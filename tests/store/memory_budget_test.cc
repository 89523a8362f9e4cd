#include "store/memory_budget.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "store/value.h"

namespace pendrakel {
namespace {

TEST(MemoryBudget, AdmitsATotalThatReachesMaxExactlyAndNotOneByteMore) {
  MemoryBudget budget;
  budget.SetMax(100);
  void* sixty = budget.Allocate(60);
  ASSERT_NE(sixty, nullptr);
  EXPECT_EQ(budget.Allocate(41), nullptr);
  EXPECT_EQ(budget.total(), 60u);  // a refusal changes nothing
  void* forty = budget.Allocate(40);
  ASSERT_NE(forty, nullptr);
  EXPECT_EQ(budget.total(), 100u);
  // A zero-length block still fits, is distinct and is charged nothing.
  void* empty = budget.Allocate(0);
  ASSERT_NE(empty, nullptr);
  EXPECT_NE(empty, forty);
  EXPECT_EQ(budget.total(), 100u);
  budget.GiveBack(empty, 0);
  budget.GiveBack(sixty, 60);
  budget.GiveBack(forty, 40);
  EXPECT_EQ(budget.total(), 0u);
}

TEST(MemoryBudget, RefusesABlockLargerThanMaxEvenWhenEmpty) {
  MemoryBudget budget;
  budget.SetMax(100);
  EXPECT_EQ(budget.Allocate(101), nullptr);
  // A request near 2^64 must not wrap the limit test.
  EXPECT_EQ(budget.Allocate(UINT64_MAX), nullptr);
  void* small = budget.Allocate(10);
  EXPECT_NE(small, nullptr);
  budget.GiveBack(small, 10);
}

TEST(MemoryBudget, WithoutMaxAcceptsWhatTheHeapGives) {
  MemoryBudget budget;
  void* block = budget.Allocate(1 << 20);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(budget.total(), 1u << 20);
  budget.GiveBack(block, 1 << 20);
  budget.GiveBack(nullptr, 5);  // a null block gives nothing back
  EXPECT_EQ(budget.total(), 0u);
}

TEST(MemoryBudget, ConcurrentAllocationsNeverPassTheLimitTogether) {
  MemoryBudget budget;
  budget.SetMax(1000);
  std::atomic<int> granted{0};
  std::vector<std::thread> threads;
  std::vector<std::vector<void*>> blocks(4);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 100; ++i) {
        if (void* b = budget.Allocate(10)) {
          blocks[t].push_back(b);
          granted++;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(granted.load(), 100);
  EXPECT_EQ(budget.total(), 1000u);
  for (auto& list : blocks) {
    for (void* b : list) budget.GiveBack(b, 10);
  }
  EXPECT_EQ(budget.total(), 0u);
}

TEST(Value, LiveUntilTheSecondOfItsExpiry) {
  Value* value = Value::Create(0, "", 1010);
  ASSERT_NE(value, nullptr);
  EXPECT_TRUE(value->IsLive(1009));
  EXPECT_FALSE(value->IsLive(1010));
  MemoryBudget budget;
  value->Destroy(budget);
  Value* forever = Value::Create(0, "", 0);
  EXPECT_TRUE(forever->IsLive(INT64_MAX));
  EXPECT_TRUE(forever->IsLive(INT64_MIN));
  forever->Destroy(budget);
}

TEST(Value, KeepsItsContentTypeAndGivesItsBytesBackOnLastRelease) {
  MemoryBudget budget;
  Value* value = Value::Create(5, "text/plain; charset=utf-8", 0);
  ASSERT_TRUE(value->AttachData(budget));
  EXPECT_EQ(value->contentType(), "text/plain; charset=utf-8");
  EXPECT_EQ(budget.total(), 5u);
  value->AddRef();
  value->Release(budget);
  EXPECT_EQ(budget.total(), 5u);  // one holder left
  value->Release(budget);
  EXPECT_EQ(budget.total(), 0u);
}

TEST(Value, RefusedDataLeavesNoBlock) {
  MemoryBudget budget;
  budget.SetMax(4);
  Value* value = Value::Create(5, "", 0);
  EXPECT_FALSE(value->AttachData(budget));
  EXPECT_EQ(value->data(), nullptr);
  value->Destroy(budget);
  EXPECT_EQ(budget.total(), 0u);
}

}  // namespace
}  // namespace pendrakel
