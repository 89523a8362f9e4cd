#include "request/cookie_resolution.h"

#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "request/guid.h"
#include "store/value_ref.h"
#include "store/values.h"
#include "store/values_ref.h"
#include "tests/request/request_test_util.h"

namespace pendrakel {
namespace {

using testing::FakeRequest;
using testing::MakeRequest;
using testing::Op;
using testing::TestExtension;

// Stores `body` under "n" with `cookie` (none when empty); returns the
// request for inspection.
std::unique_ptr<FakeRequest> Put(TestExtension& ext, const std::string& cookie,
                                 const std::string& body) {
  auto request = MakeRequest(false, Op::kSet, "n", body);
  if (!cookie.empty()) request->Header("Cookie", cookie);
  ext.Run(*request);
  return request;
}

std::string Get(TestExtension& ext, const std::string& cookie) {
  auto request = MakeRequest(false, Op::kGet, "n");
  if (!cookie.empty()) request->Header("Cookie", cookie);
  ext.Run(*request);
  return request->status() == "200 OK(Pendrakel)" ? request->body() : "<none>";
}

TEST(CookieResolution, WithoutDistributionRequestsWithoutCookieShare) {
  TestExtension ext;
  auto put = Put(ext, "", "shared");
  EXPECT_EQ(put->HeaderValue("Set-Cookie"), "");
  EXPECT_EQ(Get(ext, ""), "shared");
  EXPECT_EQ(ext.cookies.size(), 0u);
  EXPECT_EQ(ext.Counter(Counter::kValuesCreate), 0u);
}

TEST(CookieResolution, WithoutDistributionACookieTextIsAKeyOfItsOwn) {
  TestExtension ext;
  auto put = Put(ext, "a=1", "mine");
  EXPECT_EQ(put->HeaderValue("Set-Cookie"), "");
  EXPECT_EQ(ext.Counter(Counter::kValuesCreate), 1u);
  EXPECT_EQ(Get(ext, "a=1"), "mine");
  EXPECT_EQ(Get(ext, "a=1; b=2"), "<none>");  // another whole text
  EXPECT_EQ(Get(ext, "A=1"), "<none>");
  EXPECT_EQ(Get(ext, ""), "<none>");
  EXPECT_EQ(ext.Counter(Counter::kValuesCreate), 3u);
}

// Too long to read is not "no cookie": that would hand the client the
// collection every cookieless client shares.
TEST(CookieResolution, ACookieHeaderTooLongIsRefusedNotShared) {
  TestExtension ext;
  Put(ext, "", "shared");
  EXPECT_EQ(Get(ext, std::string(1023, 'c')), "<none>");  // fits: a key
  auto tooLong = Put(ext, std::string(1024, 'c'), "mine");
  EXPECT_EQ(tooLong->status(), "500 Internal Server Error(Pendrakel)");
  EXPECT_EQ(tooLong->headers(), "Content-Length: 0\r\n\r\n");
  EXPECT_EQ(ext.Counter(Counter::kValuesError), 1u);
  EXPECT_EQ(ext.Counter(Counter::kCmdSet), 1u);  // the first store only
  EXPECT_EQ(ext.cookies.size(), 1u);             // the 1023-byte key
  EXPECT_EQ(Get(ext, ""), "shared");
}

TEST(CookieResolution, DistributionHandsOutARandomCookieFirstInTheBlock) {
  TestExtension ext;
  ext.settings.Distribute = true;
  auto put = Put(ext, "", "mine");
  const std::string cookie = put->HeaderValue("Set-Cookie");
  EXPECT_TRUE(std::regex_match(cookie, std::regex("[0-9a-f]{32}"))) << cookie;
  EXPECT_EQ(put->HeaderLines().front(), "Set-Cookie: " + cookie);
  EXPECT_EQ(put->status(), "201 Created(Pendrakel)");
  EXPECT_EQ(ext.Counter(Counter::kCookieDistribute), 1u);
  EXPECT_EQ(ext.Counter(Counter::kValuesCreate), 1u);

  EXPECT_EQ(Get(ext, cookie), "mine");
  // Anything but the exact text gets a fresh cookie, and is not adopted.
  for (const std::string& other :
       {cookie + "; x=1", cookie.substr(1), std::string("made-up")}) {
    auto request = MakeRequest(false, Op::kGet, "n");
    request->Header("Cookie", other);
    ext.Run(*request);
    EXPECT_EQ(request->status(), "404 Not Found(Pendrakel)");
    const std::string fresh = request->HeaderValue("Set-Cookie");
    EXPECT_EQ(fresh.size(), 32u);
    EXPECT_NE(fresh, cookie);
  }
  EXPECT_EQ(ext.cookies.size(), 4u);
  EXPECT_EQ(ext.Counter(Counter::kCookieDistribute), 4u);
}

TEST(CookieResolution, CookieNameComesBeforeTheDigits) {
  TestExtension ext;
  ext.settings.Distribute = true;
  std::strcpy(ext.settings.CookieName, "PKSESSION");
  auto put = Put(ext, "", "mine");
  const std::string cookie = put->HeaderValue("Set-Cookie");
  EXPECT_TRUE(std::regex_match(cookie, std::regex("PKSESSION=[0-9a-f]{32}")))
      << cookie;
  EXPECT_EQ(Get(ext, cookie), "mine");
}

TEST(CookieResolution, AttributesFollowTheCookieAndAreNotPartOfIt) {
  TestExtension ext;
  ext.settings.Distribute = true;
  std::strcpy(ext.settings.CookieName, "pk");
  std::strcpy(ext.settings.CookieAttributes, "Path=/; HttpOnly; Secure");
  auto put = Put(ext, "", "mine");
  const std::string line = put->HeaderLines().front();
  EXPECT_TRUE(std::regex_match(
      line,
      std::regex("Set-Cookie: pk=[0-9a-f]{32}; Path=/; HttpOnly; Secure")))
      << line;
  // A browser sends back the cookie alone.
  EXPECT_EQ(Get(ext, line.substr(std::strlen("Set-Cookie: "), 35)), "mine");
}

TEST(CookieResolution, GuidIsVersionFourWithItsFieldsInOrder) {
  Guid guid{0x01234567, 0x89ab, 0xcdef, {0, 1, 2, 3, 0xfc, 0xfd, 0xfe, 0xff}};
  char digits[32];
  FormatGuidDigits(guid, digits);
  EXPECT_EQ(std::string(digits, 32), "0123456789abcdef00010203fcfdfeff");
  std::set<std::string> seen;
  for (int i = 0; i < 100; ++i) {
    ASSERT_TRUE(RandomGuid(&guid));
    EXPECT_EQ(guid.Data3 >> 12, 4);
    EXPECT_EQ(guid.Data4[0] >> 6, 2);
    FormatGuidDigits(guid, digits);
    seen.insert(std::string(digits, 32));
  }
  EXPECT_EQ(seen.size(), 100u);
}

bool SameGuid(Guid* guid) {
  *guid = Guid{1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
  return true;
}
bool NoRandomness(Guid*) { return false; }

TEST(CookieResolution, ATakenCookieIsNeverSharedAndNoRandomnessRefuses) {
  TestExtension ext;
  ext.settings.Distribute = true;
  ext.state.makeGuid = SameGuid;
  auto first = Put(ext, "", "first");
  ASSERT_EQ(first->status(), "201 Created(Pendrakel)");
  auto second = Put(ext, "", "second");
  EXPECT_EQ(second->status(), "500 Internal Server Error(Pendrakel)");
  EXPECT_EQ(second->headers(), "Content-Length: 0\r\n\r\n");
  EXPECT_EQ(Get(ext, first->HeaderValue("Set-Cookie")), "first");

  ext.state.makeGuid = NoRandomness;
  auto third = Put(ext, "", "third");
  EXPECT_EQ(third->status(), "500 Internal Server Error(Pendrakel)");
  EXPECT_EQ(third->headers(), "Content-Length: 0\r\n\r\n");
  EXPECT_EQ(ext.Counter(Counter::kValuesError), 2u);
  EXPECT_EQ(ext.Counter(Counter::kCookieDistribute), 1u);
  EXPECT_EQ(ext.cookies.size(), 1u);
  EXPECT_EQ(ext.budget.total(), 5u);
}

TEST(CookieResolution, NoSharedCollectionIsARefusal) {
  TestExtension ext;
  ext.shared.Stop();
  auto put = Put(ext, "", "x");
  EXPECT_EQ(put->status(), "500 Internal Server Error(Pendrakel)");
  EXPECT_EQ(put->headers(), "Content-Length: 0\r\n\r\n");
  EXPECT_EQ(ext.Counter(Counter::kValuesError), 1u);
  EXPECT_EQ(ext.Counter(Counter::kCmdSet), 0u);
  EXPECT_EQ(put->bodyBytesRead(), put->ecb()->cbAvailable);
}

TEST(CookieResolution, EveryResolutionStampsTheRequestTime) {
  TestExtension ext;
  testing::gTestNow = 4242;
  Put(ext, "k=v", "x");
  std::vector<ValuesRef> all;
  ext.cookies.AcquireAll(all);  // takes references without touching
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0]->lastAccess(), 4242);
  all[0].reset();
  testing::gTestNow = 5000;
  ext.Run(*MakeRequest(false, Op::kNop, ""));
  ValuesRef shared = ext.shared.AcquireUntouched();
  EXPECT_EQ(shared->lastAccess(), 5000);
  shared.reset();
}

}  // namespace
}  // namespace pendrakel
