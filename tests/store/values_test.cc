#include "store/values.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "store/memory_budget.h"
#include "store/value.h"
#include "store/value_ref.h"
#include "store/values_ref.h"
#include "tests/store/store_test_util.h"

namespace pendrakel {
namespace {

using testing::Bytes;
using testing::MakeValue;

class ValuesTest : public ::testing::Test {
 protected:
  void TearDown() override {
    values_.reset();
    EXPECT_EQ(budget_.total(), 0u);
  }
  // Stores `bytes` under `name` and drops the caller's reference.
  Values::PutOutcome Store(std::string_view name, std::string_view bytes,
                           int64_t expiry = 0) {
    ValueRef value = MakeValue(budget_, name, bytes, expiry);
    Values::PutOutcome outcome = values_->Put(value);
    value.reset();
    return outcome;
  }
  std::string Read(std::string_view name, int64_t now = 100) {
    Values::GetResult got = values_->Get(name, now);
    if (got.value == nullptr) return "<none>";
    std::string bytes = Bytes(*got.value);
    got.value.reset();
    return bytes;
  }
  // Moves what is expired at `now` into `expired`, as the expiry pass
  // does, in slices of `most` entries.
  void CollectExpired(int64_t now, std::vector<ValueRef>& expired,
                      size_t most = 1000) {
    Values::SliceCursor cursor;
    while (values_->CollectExpired(cursor, most, now, expired)) {
    }
  }

  MemoryBudget budget_;
  ValuesRef values_ = Values::Create(budget_);
};

TEST_F(ValuesTest, NamesAreExactBytesWithTheEmptyNameValid) {
  EXPECT_EQ(Store("key", "lower"), Values::PutOutcome::kCreated);
  EXPECT_EQ(Store("KEY", "upper"), Values::PutOutcome::kCreated);
  EXPECT_EQ(Store("", "empty"), Values::PutOutcome::kCreated);
  EXPECT_EQ(Store("key ", "blank"), Values::PutOutcome::kCreated);
  EXPECT_EQ(Read("key"), "lower");
  EXPECT_EQ(Read("KEY"), "upper");
  EXPECT_EQ(Read(""), "empty");
  EXPECT_EQ(Read("key "), "blank");
  EXPECT_EQ(Read("Key"), "<none>");
  EXPECT_EQ(values_->Remove(""), Values::RemoveOutcome::kRemoved);
  EXPECT_EQ(Read(""), "<none>");
  EXPECT_EQ(values_->size(), 3u);
}

TEST_F(ValuesTest, ExpiredEntryIsRemovedOnReadAndCountedOnce) {
  Store("t", "abc", /*expiry=*/110);
  EXPECT_EQ(Read("t", 109), "abc");
  Values::GetResult first = values_->Get("t", 110);
  EXPECT_EQ(first.value, nullptr);
  EXPECT_TRUE(first.removedExpired);
  EXPECT_EQ(budget_.total(), 0u);
  Values::GetResult second = values_->Get("t", 110);
  EXPECT_EQ(second.value, nullptr);
  EXPECT_FALSE(second.removedExpired);
}

TEST_F(ValuesTest, PutOverAnExpiredEntryIsAReplacement) {
  Store("t", "old", /*expiry=*/50);
  EXPECT_EQ(Store("t", "new"), Values::PutOutcome::kReplaced);
  EXPECT_EQ(Read("t"), "new");
  EXPECT_EQ(budget_.total(), 3u);
}

TEST_F(ValuesTest, RemoveIgnoresExpiryAndReportsAbsence) {
  EXPECT_EQ(values_->Remove("missing"), Values::RemoveOutcome::kAbsent);
  Store("t", "old", /*expiry=*/50);
  EXPECT_EQ(values_->Remove("t"), Values::RemoveOutcome::kRemoved);
  EXPECT_EQ(budget_.total(), 0u);
}

TEST_F(ValuesTest, AReaderKeepsAReplacedValueIntactUntilItReleases) {
  Store("n", "first");
  Values::GetResult held = values_->Get("n", 100);
  ASSERT_NE(held.value, nullptr);
  Store("n", "second!");
  EXPECT_EQ(budget_.total(), 5u + 7u);  // both blocks until the reader lets go
  EXPECT_EQ(Bytes(*held.value), "first");
  EXPECT_EQ(values_->Remove("n"), Values::RemoveOutcome::kRemoved);
  held.value.reset();
  EXPECT_EQ(budget_.total(), 0u);
}

TEST_F(ValuesTest, CollectExpiredTakesOnlyValuesDueByNowInNameOrder) {
  Store("b", "1", /*expiry=*/100);  // due exactly now
  Store("a", "2", /*expiry=*/99);
  Store("c", "3", /*expiry=*/101);
  Store("d", "4", /*expiry=*/0);
  std::vector<ValueRef> expired;
  CollectExpired(100, expired);
  ASSERT_EQ(expired.size(), 2u);
  EXPECT_EQ(Bytes(*expired[0]), "2");
  EXPECT_EQ(Bytes(*expired[1]), "1");
  expired.clear();
  EXPECT_EQ(Read("c"), "3");
  EXPECT_EQ(Read("d"), "4");
  EXPECT_EQ(values_->size(), 2u);
}

TEST_F(ValuesTest, ExpiryInSlicesTakesEveryValueDueWhileRequestsGoOn) {
  for (int i = 0; i < 300; ++i) {
    Store("e" + std::to_string(i), i % 2 ? "due" : "live", i % 2 ? 50 : 0);
  }
  std::vector<ValueRef> expired;
  Values::SliceCursor cursor;
  int slices = 0;
  size_t removed = 0;
  while (values_->CollectExpired(cursor, 7, 100, expired)) {
    // Between two holds of the lock: new names (the index grows and is
    // built anew once), and live values removed, the next one among them.
    for (int i = 0; slices < 10 && i < 20; ++i) {
      Store("n" + std::to_string(slices * 20 + i), "new");
    }
    if (slices < 100) {
      removed += values_->Remove("e" + std::to_string(2 * slices)) ==
                 Values::RemoveOutcome::kRemoved;
    }
    ++slices;
  }
  EXPECT_GT(slices, 300 / 7);
  EXPECT_GT(removed, 40u);
  ASSERT_EQ(expired.size(), 150u);
  for (const ValueRef& value : expired) EXPECT_EQ(Bytes(*value), "due");
  expired.clear();
  EXPECT_EQ(values_->size(), 150u - removed + 200u);
  EXPECT_EQ(Read("e299"), "<none>");
  EXPECT_EQ(Read("e298"), "live");
}

TEST(Values, ARecordAndIndexThatDoNotFitAreRefusedButReplacementsGoOn) {
  MemoryBudget budget;
  budget.SetMax(1000);
  EXPECT_EQ(budget.charged(), 0u);
  ValuesRef values = Values::Create(budget);
  EXPECT_GT(budget.charged(), sizeof(void*));  // the record itself
  // Six values fill an index of seven slots; a seventh name needs more.
  for (const char* name : {"a", "b", "c", "d", "e", "f"}) {
    ASSERT_EQ(values->Put(MakeValue(budget, name, "v")),
              Values::PutOutcome::kCreated);
  }
  // Leaves room for a value's record, not for a bigger index.
  const MemoryCost squeeze{
      0, 1000 + kBookkeepingAllowanceBytes - budget.charged() - 100};
  ASSERT_TRUE(budget.Charge(squeeze));
  EXPECT_EQ(values->Put(MakeValue(budget, "g", "v")),
            Values::PutOutcome::kNoMemory);
  EXPECT_EQ(values->Put(MakeValue(budget, "a", "w")),
            Values::PutOutcome::kReplaced);
  EXPECT_EQ(Values::Create(budget), nullptr);
  budget.GiveBack(squeeze);
  values.reset();
  EXPECT_EQ(budget.charged(), 0u);  // every byte given back
}

TEST_F(ValuesTest, WalksNamesInUnsignedByteOrderShorterFirst) {
  for (const char* name : {"b", "abc", "\x80", "a", "B", "ab", "A"}) {
    Store(name, name, /*expiry=*/1);
  }
  std::vector<ValueRef> expired;
  CollectExpired(100, expired);
  std::vector<std::string> order;
  for (ValueRef& value : expired) {
    order.push_back(Bytes(*value));
    value.reset();
  }
  EXPECT_EQ(order, (std::vector<std::string>{"A", "B", "a", "ab", "abc", "b",
                                             "\x80"}));
}

TEST_F(ValuesTest, DestroyingACollectionSparesOnlyValuesAReaderHolds) {
  Store("x", "12345");
  Store("y", "678");
  Values::GetResult held = values_->Get("x", 100);
  values_.reset();
  EXPECT_EQ(budget_.total(), 5u);
  EXPECT_EQ(Bytes(*held.value), "12345");
  held.value.reset();
}

TEST_F(ValuesTest, AccountingReturnsToZeroUnderConcurrentUse) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 2000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < kRounds; ++i) {
        const std::string name = "n" + std::to_string(i % 7);
        switch ((i + t) % 4) {
          case 0:
            Store(name, std::string(1 + i % 50, 'v'), i % 3 ? 0 : 99);
            break;
          case 1: {
            Values::GetResult got = values_->Get(name, 100);
            if (got.value) {
              // The bytes a reader holds never change under it.
              const std::string bytes = Bytes(*got.value);
              EXPECT_EQ(bytes, std::string(bytes.size(), 'v'));
              got.value.reset();
            }
            break;
          }
          case 2:
            values_->Remove(name);
            break;
          default: {
            std::vector<ValueRef> expired;
            CollectExpired(100, expired);
            expired.clear();
          }
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  values_.reset();
  EXPECT_EQ(budget_.total(), 0u);
}

}  // namespace
}  // namespace pendrakel
