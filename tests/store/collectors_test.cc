#include "store/collectors.h"

#include <gtest/gtest.h>

#include <chrono>

#include "config/settings.h"
#include "request/collector_passes.h"
#include "request/counters.h"
#include "request/extension_state.h"
#include "store/cookie_table.h"
#include "store/lazy_free.h"
#include "store/memory_budget.h"
#include "store/shared_values.h"
#include "store/value.h"
#include "store/value_ref.h"
#include "store/values.h"
#include "store/values_ref.h"
#include "tests/store/store_test_util.h"

namespace pendrakel {
namespace {

class CollectorsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(shared_.Start()); }
  // A collection under `cookie`, last used at `time`, holding one value.
  void AddCollection(const char* cookie, int64_t time, int64_t expiry = 0) {
    CookieTable::AcquireResult got = cookies_.AcquireOrCreate(cookie, time);
    ValueRef value = testing::MakeValue(budget_, "v", "12345", expiry);
    got.values->Put(value);
    value.reset();
    got.values.reset();
  }

  MemoryBudget budget_;
  Counters counters_;
  CookieTable cookies_{budget_};
  SharedValues shared_{budget_};
};

TEST_F(CollectorsTest, IdleCollectionsGoAtTheLimitAndTheirBytesWithThem) {
  AddCollection("a", 1000);
  AddCollection("b", 1001);
  EXPECT_EQ(
      DropAndCountIdleCollections(2199, 1200, cookies_, shared_, counters_),
      0u);
  EXPECT_EQ(cookies_.size(), 2u);
  EXPECT_EQ(
      DropAndCountIdleCollections(2200, 1200, cookies_, shared_, counters_),
      1u);
  EXPECT_EQ(cookies_.size(), 1u);
  EXPECT_EQ(counters_.Read(Counter::kValuesCollect), 1u);
  EXPECT_EQ(budget_.total(), 5u);
}

TEST_F(CollectorsTest, IdleLimitZeroCollectsNothingNegativeCollectsAllUsed) {
  AddCollection("a", 1000);
  shared_.Acquire(1000).reset();
  DropAndCountIdleCollections(1'000'000, 0, cookies_, shared_, counters_);
  EXPECT_EQ(cookies_.size(), 1u);
  EXPECT_EQ(counters_.Read(Counter::kValuesCollect), 0u);
  DropAndCountIdleCollections(1000, -1, cookies_, shared_, counters_);
  EXPECT_EQ(cookies_.size(), 0u);
  // The cookie collection and the shared one; the shared one is renewed.
  EXPECT_EQ(counters_.Read(Counter::kValuesCollect), 2u);
  EXPECT_EQ(counters_.Read(Counter::kValuesCreate), 1u);
  // The renewed shared collection was never used: not replaced again.
  DropAndCountIdleCollections(1000, -1, cookies_, shared_, counters_);
  EXPECT_EQ(counters_.Read(Counter::kValuesCreate), 1u);
}

TEST_F(CollectorsTest, ACollectionDroppedWhileARequestHoldsItLivesOn) {
  AddCollection("a", 1000);
  ValuesRef held = cookies_.Acquire("a", 1000);
  DropAndCountIdleCollections(5000, 1200, cookies_, shared_, counters_);
  EXPECT_EQ(counters_.Read(Counter::kValuesCollect), 1u);
  EXPECT_EQ(budget_.total(), 5u);
  Values::GetResult got = held->Get("v", 5000);
  ASSERT_NE(got.value, nullptr);
  got.value.reset();
  held.reset();
  EXPECT_EQ(budget_.total(), 0u);
  // The same cookie now names a new, empty collection.
  CookieTable::AcquireResult again = cookies_.AcquireOrCreate("a", 5001);
  EXPECT_TRUE(again.created);
  again.values.reset();
}

TEST_F(CollectorsTest, ExpiredValuesGoFromEveryCollectionSharedIncluded) {
  AddCollection("a", 1000, /*expiry=*/2000);
  AddCollection("b", 1000, /*expiry=*/2001);
  ValuesRef shared = shared_.Acquire(1000);
  ValueRef value = testing::MakeValue(budget_, "s", "xyz", /*expiry=*/1500);
  shared->Put(value);
  value.reset();
  shared.reset();

  EXPECT_EQ(DropAndCountExpiredValues(2000, cookies_, shared_, counters_), 2u);
  EXPECT_EQ(counters_.Read(Counter::kValueCollect), 2u);
  EXPECT_EQ(budget_.total(), 5u);  // only b's value is left
  EXPECT_EQ(cookies_.size(), 2u);  // collections stay, even empty
}

TEST(Collectors, StopWakesSleepingThreadsAtOnce) {
  MemoryBudget budget;
  LazyFree lazyFree;
  Counters counters;
  CookieTable cookies(budget);
  SharedValues shared(budget);
  Settings settings;
  ASSERT_TRUE(shared.Start());
  Collectors collectors;
  ExtensionState state{settings, counters, budget, lazyFree, cookies, shared};
  ASSERT_TRUE(StartCollectors(collectors, state));
  const auto start = std::chrono::steady_clock::now();
  collectors.Stop();
  collectors.Stop();  // harmless twice
  // The periods are a minute and five: a stop that waited for them would
  // not return within the few seconds the test allows.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(counters.Read(Counter::kValuesCollect), 0u);
}

}  // namespace
}  // namespace pendrakel
