#include "server/http/request_intake.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/server/intake_driver.h"

namespace pendrakel::server {
namespace {

using testing::Drive;
using testing::kSplits;

constexpr IntakeLimits kLimits{/*max_head_bytes=*/1024,
                               /*max_body_bytes=*/100,
                               /*preload_bytes=*/16};

std::string Body(const RequestIntake& intake) {
  auto& mutable_intake = const_cast<RequestIntake&>(intake);
  return std::string(reinterpret_cast<const char*>(mutable_intake.body_data()),
                     intake.body_size());
}

TEST(RequestIntake, HeadIsParsedIntoControlBlockTexts) {
  const std::string request =
      "GET /a%20b/c%2Fd?x=%20y+z HTTP/1.1\r\nHost: h\r\n"
      "Content-Type: text/plain\r\n\r\n";
  for (size_t step : kSplits) {
    RequestIntake intake(kLimits);
    EXPECT_EQ(Drive(intake, request, step), request.size());
    ASSERT_EQ(intake.phase(), IntakePhase::kComplete) << step;
    EXPECT_STREQ(intake.head().method(), "GET");
    EXPECT_STREQ(intake.head().path_info(), "/a b/c/d");
    EXPECT_STREQ(intake.head().query(), "x=%20y+z");
    EXPECT_STREQ(intake.head().content_type(), "text/plain");
    EXPECT_EQ(intake.total_bytes(), 0u);
    EXPECT_TRUE(intake.head().keep_alive);
  }
}

TEST(RequestIntake, HostFormsAndAsteriskOptionsPass) {
  for (const std::string host : {"h", "h:8080", "[::1]:80", "a.b-c_d~e"}) {
    RequestIntake intake(kLimits);
    Drive(intake, "GET / HTTP/1.1\r\nHost: " + host + "\r\n\r\n",
          testing::kWhole);
    EXPECT_EQ(intake.phase(), IntakePhase::kComplete) << host;
  }
  RequestIntake intake(kLimits);
  Drive(intake, "OPTIONS * HTTP/1.1\r\nHost: h\r\n\r\n", testing::kWhole);
  EXPECT_EQ(intake.phase(), IntakePhase::kComplete);
}

TEST(RequestIntake, AnyMethodTokenAndAbsoluteFormTargetPass) {
  for (const std::string method : {"STAT", "NOOP", "get", "post"}) {
    RequestIntake intake(kLimits);
    const std::string request =
        method + " http://example.org/v?q HTTP/1.1\r\nHost: x\r\n\r\n";
    Drive(intake, request, testing::kWhole);
    ASSERT_EQ(intake.phase(), IntakePhase::kComplete);
    EXPECT_EQ(intake.head().method_view(), method);
    EXPECT_STREQ(intake.head().path_info(), "/v");
    EXPECT_STREQ(intake.head().query(), "q");
    EXPECT_STREQ(intake.head().content_type(), "");
  }
}

TEST(RequestIntake, BodyWithinPreloadIsCompleteAndStopsAtItsEnd) {
  const std::string first =
      "PUT /k HTTP/1.1\r\nHost: h\r\nContent-Length: 5\r\n\r\nhello";
  const std::string next = "GET /k HTTP/1.1\r\nHost: h\r\n\r\n";
  for (size_t step : kSplits) {
    RequestIntake intake(kLimits);
    EXPECT_EQ(Drive(intake, first + next, step), first.size());
    ASSERT_EQ(intake.phase(), IntakePhase::kComplete);
    EXPECT_EQ(Body(intake), "hello");
    EXPECT_EQ(intake.total_bytes(), 5u);
    EXPECT_EQ(intake.unread_bytes(), 0u);
    // The same intake serves the next request without leftovers.
    intake.Start();
    EXPECT_EQ(Drive(intake, next, step), next.size());
    ASSERT_EQ(intake.phase(), IntakePhase::kComplete);
    EXPECT_EQ(intake.head().method_view(), "GET");
    EXPECT_EQ(intake.body_size(), 0u);
    EXPECT_EQ(intake.head().field_count(), 1u);
  }
}

TEST(RequestIntake, BodyPastPreloadStopsAfterThePreload) {
  const std::string head =
      "PUT /k HTTP/1.1\r\nHost: h\r\nContent-Length: 40\r\n\r\n";
  const std::string body(40, 'b');
  for (size_t step : kSplits) {
    RequestIntake intake(kLimits);
    EXPECT_EQ(Drive(intake, head + body, step),
              head.size() + kLimits.preload_bytes);
    ASSERT_EQ(intake.phase(), IntakePhase::kPreloaded);
    EXPECT_EQ(intake.body_size(), kLimits.preload_bytes);
    EXPECT_EQ(intake.total_bytes(), 40u);
    EXPECT_EQ(intake.unread_bytes(), 40u - kLimits.preload_bytes);
    intake.TakeBody(10);
    EXPECT_EQ(intake.unread_bytes(), 40u - kLimits.preload_bytes - 10);
  }
}

TEST(RequestIntake, ChunkedBodyIsDecodedWithExtensionsAndTrailers) {
  const std::string request =
      "POST /set HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n"
      "5;ext=1\r\nhello\r\n1\r\n \r\nA\r\n01234\n6789\r\n1\r\n\n\r\n0\r\n"
      "X-Trailer: t\r\n\r\n";
  for (size_t step : kSplits) {
    RequestIntake intake(kLimits);
    EXPECT_EQ(Drive(intake, request, step), request.size());
    ASSERT_EQ(intake.phase(), IntakePhase::kComplete);
    EXPECT_EQ(Body(intake), "hello 01234\n6789\n");  // bare LFs in data pass
    EXPECT_EQ(intake.total_bytes(), 17u);
    EXPECT_EQ(intake.head().field_count(), 2u);  // the trailer is not a field
  }
}

TEST(RequestIntake, ExpectContinueAndConnectionCloseAreNoted) {
  RequestIntake intake(kLimits);
  Drive(intake,
        "PUT /k HTTP/1.1\r\nHost: h\r\nExpect: 100-Continue\r\n"
        "Connection: close\r\nContent-Length: 3\r\n\r\n",
        testing::kWhole);
  EXPECT_EQ(intake.phase(), IntakePhase::kBody);
  EXPECT_TRUE(intake.head().expect_continue);
  EXPECT_FALSE(intake.head().keep_alive);

  intake.Start();
  Drive(intake,
        "PUT /k HTTP/1.0\r\nExpect: 100-continue\r\nContent-Length: 3\r\n\r\n",
        testing::kWhole);
  EXPECT_FALSE(intake.head().expect_continue);  // not for HTTP/1.0
  EXPECT_FALSE(intake.head().keep_alive);
  EXPECT_EQ(intake.head().version, 10);
}

TEST(RequestIntake, RepeatedEqualContentLengthsCountAsOne) {
  for (const std::string lengths :
       {"Content-Length: 2, 2\r\n",
        "Content-Length: 2\r\nContent-Length: 2\r\n"}) {
    RequestIntake intake(kLimits);
    Drive(intake, "PUT /k HTTP/1.1\r\nHost: h\r\n" + lengths + "\r\nab",
          testing::kWhole);
    ASSERT_EQ(intake.phase(), IntakePhase::kComplete) << lengths;
    EXPECT_EQ(Body(intake), "ab");
  }
}

struct BadRequest {
  const char* name;
  std::string bytes;
  HttpError expected;
};

TEST(RequestIntake, BadFramingAndSmugglingAttemptsFail) {
  const std::string big_field = "X-Big: " + std::string(1100, 'a') + "\r\n";
  const BadRequest cases[] = {
      {"length then chunked",
       "POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 3\r\n"
       "Transfer-Encoding: chunked\r\n\r\n",
       HttpError::kBadRequest},
      {"chunked then length",
       "POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n"
       "Content-Length: 3\r\n\r\n",
       HttpError::kBadRequest},
      {"other coding then length",
       "POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: gzip\r\n"
       "Content-Length: 3\r\n\r\n",
       HttpError::kBadRequest},
      {"final coding not chunked",
       "POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked, gzip\r\n\r\n",
       HttpError::kBadRequest},
      {"coding before chunked",
       "POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: gzip, chunked\r\n\r\n",
       HttpError::kNotImplemented},
      {"chunked twice",
       "POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n"
       "Transfer-Encoding: chunked\r\n\r\n",
       HttpError::kBadRequest},
      {"transfer coding in HTTP/1.0",
       "POST / HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
       HttpError::kBadRequest},
      {"differing lengths",
       "POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 42, 43\r\n\r\n",
       HttpError::kBadRequest},
      {"differing length lines",
       "POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 1\r\n"
       "Content-Length: 2\r\n\r\n",
       HttpError::kBadRequest},
      {"length not decimal",
       "POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 0x10\r\n\r\n",
       HttpError::kBadRequest},
      {"negative length",
       "POST / HTTP/1.1\r\nHost: h\r\nContent-Length: -1\r\n\r\n",
       HttpError::kBadRequest},
      {"chunk size not hex",
       "POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n"
       "zz\r\nab\r\n0\r\n\r\n",
       HttpError::kBadRequest},
      {"chunk size overflows",
       "POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n"
       "10000000000000000\r\n",
       HttpError::kBadRequest},
      {"chunk line too long",
       "POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n1;" +
           std::string(5000, 'e'),
       HttpError::kBadRequest},
      {"complete chunk line too long",
       "POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n1;" +
           std::string(5000, 'e') + "\r\nx\r\n0\r\n\r\n",
       HttpError::kBadRequest},
      {"trailer too long",
       "POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n"
       "1\r\nx\r\n0\r\nT: " +
           std::string(3000, 't') + "\r\nU: " + std::string(3000, 'u') +
           "\r\n\r\n",
       HttpError::kBadRequest},
      {"lines ending in a bare LF", "GET / HTTP/1.1\nHost: h\n\n",
       HttpError::kBadRequest},
      {"one line ending in a bare LF",
       "GET / HTTP/1.1\r\nHost: h\nX: y\r\n\r\n", HttpError::kBadRequest},
      {"malformed escape", "GET /a%2 HTTP/1.1\r\nHost: h\r\n\r\n",
       HttpError::kBadRequest},
      {"escape of NUL", "GET /a%00b HTTP/1.1\r\nHost: h\r\n\r\n",
       HttpError::kBadRequest},
      {"no Host in HTTP/1.1", "GET / HTTP/1.1\r\n\r\n", HttpError::kBadRequest},
      {"two Hosts", "GET / HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n",
       HttpError::kBadRequest},
      {"Host with userinfo", "GET / HTTP/1.1\r\nHost: u@h\r\n\r\n",
       HttpError::kBadRequest},
      {"Host with a path", "GET / HTTP/1.1\r\nHost: h/p\r\n\r\n",
       HttpError::kBadRequest},
      {"empty Host", "GET / HTTP/1.1\r\nHost: \r\n\r\n",
       HttpError::kBadRequest},
      {"two Hosts in one field", "GET / HTTP/1.1\r\nHost: a, b\r\n\r\n",
       HttpError::kBadRequest},
      {"Host with a bad port", "GET / HTTP/1.1\r\nHost: h:8x\r\n\r\n",
       HttpError::kBadRequest},
      {"obs-fold", "GET / HTTP/1.1\r\nHost: h\r\nX: a\r\n b\r\n\r\n",
       HttpError::kBadRequest},
      {"asterisk form with GET", "GET * HTTP/1.1\r\nHost: h\r\n\r\n",
       HttpError::kBadRequest},
      {"raw non-ASCII target", "GET /caf\xc3\xa9 HTTP/1.1\r\nHost: h\r\n\r\n",
       HttpError::kBadRequest},
      {"overlong UTF-8 target", "GET /\xc0\xaf HTTP/1.1\r\nHost: h\r\n\r\n",
       HttpError::kBadRequest},
      {"trailer ending in a bare LF",
       "POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n"
       "1\r\nx\r\n0\r\nT: t\n\n",
       HttpError::kBadRequest},
      {"last chunk ending in a bare LF",
       "POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n"
       "1\r\nx\r\n0\r\n\n",
       HttpError::kBadRequest},
      {"chunk line ending in a bare LF",
       "POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n"
       "1\nx\r\n0\r\n\r\n",
       HttpError::kBadRequest},
      {"not HTTP", "hello there\r\n\r\n", HttpError::kBadRequest},
      {"unknown version", "GET / HTTP/2.0\r\nHost: h\r\n\r\n",
       HttpError::kBadRequest},
      {"head too large", "GET / HTTP/1.1\r\nHost: h\r\n" + big_field + "\r\n",
       HttpError::kHeadTooLarge},
      {"declared body too large",
       "PUT / HTTP/1.1\r\nHost: h\r\nContent-Length: 101\r\n\r\n",
       HttpError::kBodyTooLarge},
      {"chunked body too large",
       "PUT / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n"
       "40\r\n" +
           std::string(64, 'a') + "\r\n40\r\n" + std::string(64, 'a') +
           "\r\n0\r\n\r\n",
       HttpError::kBodyTooLarge},
  };
  for (const BadRequest& bad : cases) {
    for (size_t step : kSplits) {
      RequestIntake intake(kLimits);
      Drive(intake, bad.bytes, step);
      EXPECT_EQ(intake.phase(), IntakePhase::kFailed)
          << bad.name << ", step " << step;
      EXPECT_EQ(intake.failure(), bad.expected)
          << bad.name << ", step " << step;
    }
  }
}

TEST(RequestIntake, HigherHttp1MinorVersionIsServedAsHttp11) {
  const std::string request =
      "PUT /k HTTP/1.2\r\nHost: h\r\nContent-Length: 3\r\n\r\nabc";
  // 15: the first piece ends with the version's last digit.
  for (size_t step : {testing::kWhole, size_t{1}, size_t{15}}) {
    RequestIntake intake(kLimits);
    EXPECT_EQ(Drive(intake, request, step), request.size());
    ASSERT_EQ(intake.phase(), IntakePhase::kComplete) << step;
    EXPECT_EQ(intake.head().version, 11);
    EXPECT_EQ(intake.head().sent_version, 12);
    EXPECT_STREQ(intake.head().path_info(), "/k");
    EXPECT_EQ(Body(intake), "abc");
  }
  // HTTP/1.1 rules hold: a Host is required.
  RequestIntake intake(kLimits);
  Drive(intake, "GET / HTTP/1.9\r\n\r\n", testing::kWhole);
  EXPECT_EQ(intake.phase(), IntakePhase::kFailed);
  for (const std::string version : {"HTTP/1.10", "HTTP/2.0", "HTTP/1.x"}) {
    RequestIntake other(kLimits);
    Drive(other, "GET / " + version + "\r\nHost: h\r\n\r\n", testing::kWhole);
    EXPECT_EQ(other.phase(), IntakePhase::kFailed) << version;
  }
}

TEST(RequestIntake, IncompleteHeadWaitsForMore) {
  RequestIntake intake(kLimits);
  EXPECT_FALSE(intake.started());
  EXPECT_EQ(Drive(intake, "GET / HTTP/1.1\r\nHost: h\r\n", 1), 0u);
  EXPECT_EQ(intake.phase(), IntakePhase::kHead);
  EXPECT_TRUE(intake.started());
}

TEST(RequestIntake, ZeroPreloadHandsTheWholeBodyToTheReader) {
  RequestIntake intake(IntakeLimits{1024, 100, 0});
  const std::string head =
      "PUT /k HTTP/1.1\r\nHost: h\r\nContent-Length: 4\r\n\r\n";
  EXPECT_EQ(Drive(intake, head + "abcd", testing::kWhole), head.size());
  EXPECT_EQ(intake.phase(), IntakePhase::kPreloaded);
  EXPECT_EQ(intake.body_size(), 0u);
  EXPECT_EQ(intake.unread_bytes(), 4u);
}

}  // namespace
}  // namespace pendrakel::server
