#include "store/counted_ref.h"

#include <gtest/gtest.h>

#include "store/ref_count.h"

namespace pendrakel {
namespace {

struct Record {
  RefCount count;
  bool destroyed = false;
};

struct RecordCounting {
  void AddRef(Record* record) const { record->count.Add(); }
  void Release(Record* record) const {
    if (record->count.Drop()) record->destroyed = true;
  }
};

using RecordRef = CountedRef<Record, RecordCounting>;

TEST(CountedRef, TheLastOfAdoptedSharedAndDetachedCountsDestroys) {
  Record record;
  RecordRef first = RecordRef::Adopt(&record);
  RecordRef second = first.Share();
  // An index entry holds a raw count and gives it back to a handle.
  Record* const entry = RecordRef::Share(&record).Detach();
  first.reset();
  second.reset();
  EXPECT_FALSE(record.destroyed);
  RecordRef::Adopt(entry).reset();
  EXPECT_TRUE(record.destroyed);
}

TEST(CountedRefDeathTest, ACountDroppedOnceTooOftenAbortsInCheckedBuilds) {
  if (!kDebugChecks) GTEST_SKIP() << "counts are checked in debug builds";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  RefCount count;
  EXPECT_TRUE(count.Drop());
  EXPECT_DEATH(count.Drop(), "check failed: before > 0");
}

}  // namespace
}  // namespace pendrakel
