#include "base/mutex.h"

#include <gtest/gtest.h>

namespace pendrakel {
namespace {

TEST(MutexDeathTest, TakingALockWhileHoldingAnotherAbortsInCheckedBuilds) {
  if (!kDebugChecks) GTEST_SKIP() << "lock depth is checked in debug builds";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Mutex outer;
  Mutex inner;
  {
    MutexLock hold(outer);
    EXPECT_EQ(Mutex::HeldByThisThread(), 1);
  }
  MutexLock again(inner);  // one at a time is the rule, and fine
  EXPECT_DEATH(MutexLock nested(outer), "check failed: held_ == 0");
}

}  // namespace
}  // namespace pendrakel
