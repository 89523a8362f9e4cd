#include "store/lazy_free.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "store/collectors.h"
#include "store/memory_budget.h"
#include "store/values.h"
#include "store/values_ref.h"
#include "tests/store/store_test_util.h"

namespace pendrakel {
namespace {

// A collection of `entries` one-byte values whose last release goes to
// `lazyFree`.
ValuesRef Filled(MemoryBudget& budget, LazyFree& lazyFree, size_t entries) {
  ValuesRef values = Values::Create(budget, &lazyFree);
  for (size_t i = 0; i < entries; ++i) {
    ValueRef value = testing::MakeValue(budget, std::to_string(i), "v");
    values->Put(value);
  }
  return values;
}

// Small collections go at once; a large one is destroyed by the thread,
// whose Stop returns only once its bytes are back; after Stop every
// collection goes at once again.
TEST(LazyFree, StopReturnsOnceEveryHandedCollectionIsDestroyed) {
  MemoryBudget budget;
  LazyFree lazyFree;
  ASSERT_TRUE(lazyFree.Start());
  Filled(budget, lazyFree, kLazyFreeMinEntries - 1).reset();
  EXPECT_EQ(budget.total(), 0u);
  Filled(budget, lazyFree, kLazyFreeMinEntries).reset();
  Filled(budget, lazyFree, kLazyFreeMinEntries + 1).reset();
  lazyFree.Stop();
  EXPECT_EQ(budget.total(), 0u);
  Filled(budget, lazyFree, kLazyFreeMinEntries).reset();
  EXPECT_EQ(budget.total(), 0u);
}

// The idle collector destroys a handed-over collection as soon as it is
// handed over, without running its pass ahead of time.
TEST(LazyFree, TheIdleCollectorDestroysAHandedOverCollectionOffSchedule) {
  MemoryBudget budget;
  LazyFree lazyFree;
  Collectors collectors;
  std::atomic<int> idlePasses{0};
  ASSERT_TRUE(collectors.Start([&] { return size_t(++idlePasses); },
                               [] { return size_t{0}; }, &lazyFree));
  Filled(budget, lazyFree, kLazyFreeMinEntries).reset();
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (budget.total() != 0 && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(budget.total(), 0u);
  EXPECT_EQ(idlePasses.load(), 0);  // the first pass is a minute away
  collectors.Stop();
  // Stopped, the queue takes nothing: the releasing thread destroys.
  Filled(budget, lazyFree, kLazyFreeMinEntries).reset();
  EXPECT_EQ(budget.total(), 0u);
}

}  // namespace
}  // namespace pendrakel
