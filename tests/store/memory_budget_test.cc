#include "store/memory_budget.h"

#include <gtest/gtest.h>
#include <malloc.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "store/heap_block.h"
#include "store/value.h"
#include "store/value_ref.h"
#include "store/values_ref.h"
#include "tests/hardening/build_speed.h"

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

TEST(MemoryBudget, BookkeepingHasAnAllowanceWhileValueBytesStayExact) {
  MemoryBudget budget;
  budget.SetMax(100);
  const MemoryCost full{0, 100 + kBookkeepingAllowanceBytes};
  ASSERT_TRUE(budget.Charge(full));
  EXPECT_FALSE(budget.Charge({0, 1}));
  EXPECT_FALSE(budget.Charge({1, 0}));  // everything charged is at its limit
  EXPECT_EQ(budget.total(), 0u);
  budget.GiveBack(full);
  ASSERT_TRUE(budget.Charge({100, 40}));
  EXPECT_FALSE(budget.Charge({1, 0}));  // value bytes are at the maximum
  EXPECT_EQ(budget.charged(), 140u);    // the refusal took nothing
  budget.GiveBack({100, 40});
  EXPECT_EQ(budget.charged(), 0u);
}

TEST(HeapBlockBytes, IsWhatTheHeapTakesForTheBlock) {
#ifdef PENDRAKEL_SANITIZED_BUILD
  GTEST_SKIP() << "a sanitizer's heap is not the one the store runs on";
#endif
  for (const size_t n : {0, 1, 24, 25, 136, 1000, 130'000}) {
    void* block = std::malloc(n);
    EXPECT_EQ(malloc_usable_size(block) + kHeapHeaderBytes, HeapBlockBytes(n))
        << n;
    std::free(block);
  }
  // A large block gets pages of its own, or comes from the heap once the
  // heap has raised its threshold: whole pages are the most it takes.
  void* large = std::malloc(200'000);
  const size_t taken = malloc_usable_size(large) + kHeapHeaderBytes;
  EXPECT_GE(HeapBlockBytes(200'000), taken);
  EXPECT_LT(HeapBlockBytes(200'000), taken + kPageBytes);
  std::free(large);
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
  MemoryBudget budget;
  ValueRef value = Value::Create("n", "", 0, 1010, budget);
  ASSERT_NE(value, nullptr);
  EXPECT_TRUE(value->IsLive(1009));
  EXPECT_FALSE(value->IsLive(1010));
  value.reset();
  ValueRef forever = Value::Create("n", "", 0, 0, budget);
  EXPECT_TRUE(forever->IsLive(INT64_MAX));
  EXPECT_TRUE(forever->IsLive(INT64_MIN));
  forever.reset();
}

TEST(Value, KeepsNameTypeAndDataApartAndGivesItsBytesBackOnLastRelease) {
  MemoryBudget budget;
  ValueRef value =
      Value::Create("name", "text/plain; charset=utf-8", 5, 0, budget);
  ASSERT_NE(value, nullptr);
  std::memcpy(value->data(), "12345", 5);
  EXPECT_EQ(value->name(), "name");
  EXPECT_EQ(value->contentType(), "text/plain; charset=utf-8");
  EXPECT_EQ(std::string_view(reinterpret_cast<char*>(value->data()), 5),
            "12345");
  EXPECT_EQ(budget.total(), 5u);
  ValueRef second = value.Share();
  value.reset();
  EXPECT_EQ(budget.total(), 5u);  // one holder left
  second.reset();
  EXPECT_EQ(budget.total(), 0u);
}

TEST(Value, RefusedByTheBudgetOrOverlongTextsMakeNoValue) {
  MemoryBudget budget;
  budget.SetMax(4);
  EXPECT_EQ(Value::Create("n", "", 5, 0, budget), nullptr);
  EXPECT_EQ(budget.total(), 0u);
  // Refused on the length alone, before a byte of the text is read.
  const char byte = 'n';
  const std::string_view tooLong(&byte, kMaxValueNameBytes + 1);
  EXPECT_EQ(Value::Create(tooLong, "", 1, 0, budget), nullptr);
  EXPECT_EQ(Value::Create("n", tooLong, 1, 0, budget), nullptr);
  // Around and past where the record's 16-bit lengths end, on either text.
  for (const size_t length : {65'534, 65'535, 65'536, 100'000}) {
    const std::string longText(length, 'n');
    for (const bool inName : {true, false}) {
      const std::string_view text = longText;
      const std::string_view name = inName ? text : "k";
      const std::string_view type = inName ? "t" : text;
      ValueRef value = Value::Create(name, type, 4, 7, budget);
      ASSERT_NE(value, nullptr) << length;
      std::memcpy(value->data(), "data", 4);
      EXPECT_EQ(value->name(), name) << length;
      EXPECT_EQ(value->contentType(), type) << length;
      EXPECT_EQ(
          std::string_view(reinterpret_cast<const char*>(value->data()), 4),
          "data");
      EXPECT_EQ(value->expiry(), 7);
    }
  }
  EXPECT_EQ(budget.total(), 0u);
}

}  // namespace
}  // namespace pendrakel
