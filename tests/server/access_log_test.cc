#include "server/ops/access_log.h"

#include <gtest/gtest.h>

#include <string>

#include "server/http/request_intake.h"
#include "server/limits.h"
#include "tests/server/intake_driver.h"

namespace pendrakel::server {
namespace {

constexpr IntakeLimits kLimits{/*max_head_bytes=*/64 * 1024,
                               /*max_body_bytes=*/100,
                               /*preload_bytes=*/16};

// The line the log writes for `request` refused by the intake.
std::string LineFor(const std::string& request) {
  RequestIntake intake(kLimits);
  testing::Drive(intake, request, testing::kWhole);
  EXPECT_EQ(intake.phase(), IntakePhase::kFailed);
  LogBuffer buffer;
  buffer.Write("127.0.0.1", &intake.head(), 400, -1, 7);
  buffer.HandOver();
  std::string line;
  buffer.TakeInto(line);
  return line;
}

TEST(AccessLog, RefusedRequestLineIsWrittenAsSentWithItsUserAgent) {
  EXPECT_NE(LineFor("GET /caf\xc3\xa9 HTTP/1.1\r\nHost: h\r\n"
                    "User-Agent: probe/1\r\n\r\n")
                .find(" \"GET /caf\\xc3\\xa9 HTTP/1.1\" 400 - \"-\" "
                      "\"probe/1\" 7\n"),
            std::string::npos);
  // A line the parser cannot take apart is written whole.
  EXPECT_NE(LineFor("GET /\x01\"x HTTP/1.1\r\nHost: h\r\n\r\n")
                .find(" \"GET /\\x01\\x22x HTTP/1.1\" 400 "),
            std::string::npos);
}

TEST(AccessLog, RequestLineKeepsTheMinorVersionAsSent) {
  RequestIntake intake(kLimits);
  testing::Drive(intake, "GET /v HTTP/1.2\r\nHost: h\r\n\r\n", testing::kWhole);
  LogBuffer buffer;
  buffer.Write("::1", &intake.head(), 200, 0, 1);
  buffer.HandOver();
  std::string line;
  buffer.TakeInto(line);
  EXPECT_NE(line.find(" \"GET /v HTTP/1.2\" 200 0 "), std::string::npos);
}

TEST(AccessLog, EachFieldIsCutAtItsLimit) {
  const std::string agent(15000, '\xff');
  const std::string target = "/" + std::string(20000, 'a');
  const std::string line =
      LineFor("GET " + target + "\x01 HTTP/1.1\r\nUser-Agent: " + agent +
              "\r\nHost: h\r\n\r\n");
  std::string escaped;
  for (size_t i = 0; i < kMaxLoggedFieldBytes; ++i) escaped += "\\xff";
  EXPECT_NE(line.find(" \"GET " + target.substr(0, kMaxLoggedFieldBytes - 4) +
                      "...\" 400 "),
            std::string::npos);
  // The head with a bad target is refused before its fields are read.
  const std::string refused = LineFor(
      "GET /\xc3 HTTP/1.1\r\nUser-Agent: " + agent + "\r\nHost: h\r\n\r\n");
  EXPECT_NE(refused.find("\"" + escaped + "...\" 7\n"), std::string::npos);
  EXPECT_LT(refused.size(), 4 * 3 * kMaxLoggedFieldBytes);
}

TEST(AccessLog, LinesPastTheBufferAreDroppedAndCounted) {
  std::string error;
  auto log = AccessLog::Open("/dev/null", 1, error);
  ASSERT_NE(log, nullptr) << error;
  const std::string agent(kMaxLoggedFieldBytes, 'u');
  RequestIntake intake(kLimits);
  testing::Drive(
      intake, "GET / HTTP/1.1\r\nHost: h\r\nUser-Agent: " + agent + "\r\n\r\n",
      testing::kWhole);
  // No writer runs: the thread's buffer fills up.
  const size_t lines = 2 * kMaxBufferedLogBytes / agent.size();
  for (size_t i = 0; i < lines; ++i)
    log->buffer(0).Write("127.0.0.1", &intake.head(), 200, 5, 1);
  log->buffer(0).HandOver();
  EXPECT_GT(log->dropped_lines(), lines / 3);
  EXPECT_LT(log->dropped_lines(), lines);
}

}  // namespace
}  // namespace pendrakel::server
