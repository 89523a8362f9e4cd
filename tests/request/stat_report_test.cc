#include "request/stat_report.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "tests/on_each_processor.h"
#include "tests/test_extension.h"

namespace pendrakel {
namespace {

using testing::FakeRequest;
using testing::TestExtension;

TEST(StatReport, ListsTotalAndEighteenCountersInOrder) {
  TestExtension ext;
  ext.settings.Distribute = true;  // never a cookie for STAT
  FakeRequest stat("STAT", "/");
  stat.Header("Cookie", "whatever").Body("ignored body");
  ext.Run(stat);
  EXPECT_EQ(stat.status(), "200 OK(Pendrakel)");
  EXPECT_EQ(stat.headers(),
            "X-Memory-Total: 0\r\n"
            "X-Counter-CMD-Stat: 0\r\n"
            "X-Counter-CMD-Get: 0\r\n"
            "X-Counter-CMD-Get_OK: 0\r\n"
            "X-Counter-CMD-Get-NotFound: 0\r\n"
            "X-Counter-CMD-Set: 0\r\n"
            "X-Counter-CMD-Set-OK: 0\r\n"
            "X-Counter-CMD-Set-NoMemory: 0\r\n"
            "X-Counter-CMD-Del: 0\r\n"
            "X-Counter-CMD-Nop: 0\r\n"
            "X-Counter-CMD-Unknown: 0\r\n"
            "X-Counter-ValuesCollect: 0\r\n"
            "X-Counter-ValuesCreate: 0\r\n"
            "X-Counter-ValuesError: 0\r\n"
            "X-Counter-ValueCollect: 0\r\n"
            "X-Counter-ValueCreate: 0\r\n"
            "X-Counter-ValueReplace: 0\r\n"
            "X-Counter-ValueDelete: 0\r\n"
            "X-Counter-CookieDistribute: 0\r\n"
            "Content-Length: 0\r\n"
            "\r\n");
  EXPECT_EQ(stat.body(), "");
  EXPECT_EQ(stat.bodyBytesRead(), stat.ecb()->cbAvailable);  // nothing read
  EXPECT_EQ(ext.cookies.size(), 0u);

  FakeRequest second("STAT", "/");
  ext.Run(second);
  EXPECT_EQ(second.HeaderValue("X-Counter-CMD-Stat"), "1");
}

TEST(StatReport, PrintsNumbersUnsignedPastTwoToTheThirtyOne) {
  TestExtension ext;
  ext.counters.Add(Counter::kCmdGet, 0x80000000u);
  ext.counters.Add(Counter::kCmdNop, 0xFFFFFFFFu);
  FakeRequest stat("STAT", "/");
  ext.Run(stat);
  EXPECT_EQ(stat.HeaderValue("X-Counter-CMD-Get"), "2147483648");
  EXPECT_EQ(stat.HeaderValue("X-Counter-CMD-Nop"), "4294967295");
}

// Each processor counts in a shard of its own; the report sums them and
// wraps as one count would.
TEST(StatReport, SumsWhatEveryProcessorCountedWrappingAtTwoToTheThirtyTwo) {
  TestExtension ext;
  std::vector<std::thread> threads = testing::StartOnEachProcessor([&ext] {
    ext.counters.Add(Counter::kCmdGet, 0x7FFFFFFFu);
    ext.counters.Add(Counter::kCmdGet, 3);
  });
  for (std::thread& thread : threads) thread.join();
  const auto expected = static_cast<uint32_t>(threads.size() * 0x80000002u);
  FakeRequest stat("STAT", "/");
  ext.Run(stat);
  EXPECT_EQ(stat.HeaderValue("X-Counter-CMD-Get"), std::to_string(expected));
}

TEST(StatReport, OnlyTheExactUpperCaseMethodIsStat) {
  EXPECT_TRUE(IsStatRequest("STAT"));
  EXPECT_FALSE(IsStatRequest("stat"));
  EXPECT_FALSE(IsStatRequest("STATS"));
  EXPECT_FALSE(IsStatRequest("STA"));

  TestExtension ext;
  ext.settings.Distribute = true;
  FakeRequest lower("stat", "/");
  ext.Run(lower);
  EXPECT_EQ(lower.status(), "501 Not Implemented(Pendrakel)");
  EXPECT_EQ(lower.HeaderLines()[0].rfind("Set-Cookie: ", 0), 0u);
  EXPECT_EQ(ext.Counter(Counter::kCmdUnknown), 1u);
  EXPECT_EQ(ext.Counter(Counter::kCmdStat), 0u);
}

}  // namespace
}  // namespace pendrakel
