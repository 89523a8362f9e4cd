// Isolation between clients of pendrakel-host with Distribute on: a client
// reaches the values stored under its cookie only with that exact cookie
// text. Near misses (each hex digit changed, cut short, changed in case,
// text before or after it, other cookies beside it, an empty header, a
// header too long to read) find nothing, get a fresh cookie of their own,
// and what they store or delete never touches the owner's values.
#include <gtest/gtest.h>

#include <cctype>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "tests/hardening/store_host.h"
#include "tests/server/http_client.h"

namespace pendrakel::testing {
namespace {

constexpr char kSecret[] = "the owner's secret";
constexpr char kSecondSecret[] = "and another one";
constexpr char kIntruder[] = "intruder";
constexpr size_t kCookieDigits = 32;

// A cookie header text that is not the owner's, and why.
struct NearMiss {
  std::string what;
  std::string headers;  // the Cookie line(s), or none
};

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(c));
  return text;
}

char NextHexDigit(char digit) {
  static constexpr char kDigits[] = "0123456789abcdef";
  const char* at = std::char_traits<char>::find(kDigits, 16, digit);
  return at == nullptr ? '0' : kDigits[(at - kDigits + 1) % 16];
}

std::vector<NearMiss> NearMisses(const std::string& owner,
                                 const std::string& name) {
  const std::string prefix = name.empty() ? "" : name + "=";
  const std::string digits = owner.substr(prefix.size());
  auto cookie = [](const std::string& text) {
    return "Cookie: " + text + "\r\n";
  };
  std::vector<NearMiss> misses;
  for (size_t i = 0; i < digits.size(); ++i) {
    std::string changed = digits;
    changed[i] = NextHexDigit(changed[i]);
    misses.push_back(
        {"digit " + std::to_string(i) + " changed", cookie(prefix + changed)});
  }
  misses.push_back(
      {"last digit cut", cookie(owner.substr(0, owner.size() - 1))});
  misses.push_back({"first character cut", cookie(owner.substr(1))});
  misses.push_back({"half the digits",
                    cookie(prefix + digits.substr(0, kCookieDigits / 2))});
  if (!name.empty()) {
    misses.push_back({"the name alone", cookie(prefix)});
    misses.push_back({"the digits alone", cookie(digits)});
    misses.push_back(
        {"the name in upper case", cookie(Upper(prefix) + digits)});
  }
  misses.push_back({"digits in upper case", cookie(prefix + Upper(digits))});
  misses.push_back({"all in upper case", cookie(Upper(owner))});
  misses.push_back({"a character before", cookie("x" + owner)});
  misses.push_back({"a digit after", cookie(owner + "0")});
  misses.push_back({"a semicolon after", cookie(owner + ";")});
  misses.push_back({"in quotes", cookie("\"" + owner + "\"")});
  misses.push_back({"another cookie after", cookie(owner + "; other=1")});
  misses.push_back({"another cookie before", cookie("other=1; " + owner)});
  misses.push_back({"a second Cookie line", cookie(owner) + cookie("other=1")});
  misses.push_back({"empty", cookie("")});
  misses.push_back({"no cookie", ""});
  misses.push_back({"too long to be read",
                    cookie(owner + "; pad=" + std::string(1100, 'p'))});
  return misses;
}

class Isolation : public ::testing::TestWithParam<std::string> {};

TEST_P(Isolation, OnlyTheExactCookieReachesItsValues) {
  const std::string name = GetParam();
  auto host = StoreHost::Start("<S><Cookie Distribute=\"true\" Name=\"" + name +
                               "\"/></S>");
  ASSERT_TRUE(host);
  const int port = host->port();
  const std::regex handed_out((name.empty() ? "" : name + "=") + "[0-9a-f]{" +
                              std::to_string(kCookieDigits) + "}");

  const auto stored =
      Exchange(port, MakeRequest("PUT", "/secret", "", kSecret));
  ASSERT_TRUE(stored);
  ASSERT_EQ(stored->status, 201);
  const std::string owner = stored->Header("Set-Cookie").value_or("");
  ASSERT_TRUE(std::regex_match(owner, handed_out)) << owner;
  const std::string as_owner = "Cookie: " + owner + "\r\n";
  const auto second = Exchange(
      port, MakeRequest("POST", "/set", as_owner + "X-Param-Name: second\r\n",
                        kSecondSecret));
  ASSERT_TRUE(second);
  ASSERT_EQ(second->Header("x-result-code"), "0");
  ASSERT_FALSE(second->Header("Set-Cookie"));

  const std::vector<NearMiss> misses = NearMisses(owner, name);
  std::set<std::string> cookies = {owner};
  for (const NearMiss& miss : misses) {
    SCOPED_TRACE(miss.what);
    // Every request through a near miss is answered in a collection of its
    // own, under a cookie never seen before.
    auto expect_fresh_cookie = [&](const HttpResponse& answer) {
      const auto cookie = answer.Header("Set-Cookie");
      ASSERT_TRUE(cookie) << "no fresh cookie";
      EXPECT_TRUE(std::regex_match(*cookie, handed_out)) << *cookie;
      EXPECT_TRUE(cookies.insert(*cookie).second) << "cookie handed out twice";
    };
    const auto get =
        Exchange(port, MakeRequest("GET", "/secret", miss.headers));
    ASSERT_TRUE(get);
    EXPECT_EQ(get->status, 404) << "read the owner's value: " << get->body;
    expect_fresh_cookie(*get);
    const auto command = Exchange(
        port,
        MakeRequest("POST", "/get", miss.headers + "X-Param-Name: second\r\n"));
    ASSERT_TRUE(command);
    EXPECT_EQ(command->Header("x-result-code"), "1") << command->body;
    expect_fresh_cookie(*command);
    const auto del =
        Exchange(port, MakeRequest("DELETE", "/secret", miss.headers));
    ASSERT_TRUE(del);
    EXPECT_EQ(del->status, 404) << "deleted the owner's value";
    expect_fresh_cookie(*del);
    const auto put =
        Exchange(port, MakeRequest("PUT", "/secret", miss.headers, kIntruder));
    ASSERT_TRUE(put);
    EXPECT_EQ(put->status, 201) << "replaced the owner's value";
    expect_fresh_cookie(*put);
  }

  const auto mine = Exchange(port, MakeRequest("GET", "/secret", as_owner));
  ASSERT_TRUE(mine);
  EXPECT_EQ(mine->body, kSecret);
  EXPECT_FALSE(mine->Header("Set-Cookie"));
  const auto mine_too = Exchange(
      port, MakeRequest("POST", "/get", as_owner + "X-Param-Name: second\r\n"));
  ASSERT_TRUE(mine_too);
  EXPECT_EQ(mine_too->body, kSecondSecret);

  // Four fresh collections per near miss, each intruder's value alone in its
  // own; the owner's two values untouched.
  const uint64_t fresh = 1 + 4 * misses.size();
  const auto report = ReadStat(port);
  EXPECT_EQ(StatValue(report, "X-Counter-CookieDistribute"), fresh);
  EXPECT_EQ(StatValue(report, "X-Counter-ValuesCreate"), 1 + fresh);
  EXPECT_EQ(StatValue(report, "X-Counter-ValueReplace"), 0u);
  EXPECT_EQ(StatValue(report, "X-Counter-ValueDelete"), 0u);
  EXPECT_EQ(StatValue(report, "X-Memory-Total"),
            sizeof kSecret - 1 + sizeof kSecondSecret - 1 +
                misses.size() * (sizeof kIntruder - 1));
}

INSTANTIATE_TEST_SUITE_P(CookieName, Isolation,
                         ::testing::Values(std::string(""), std::string("sid")),
                         [](const auto& info) {
                           return info.param.empty() ? std::string("Unnamed")
                                                     : std::string("Named");
                         });

}  // namespace
}  // namespace pendrakel::testing
