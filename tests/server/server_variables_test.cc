#include "server/http/server_variables.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>

#include "tests/server/intake_driver.h"

namespace pendrakel::server {
namespace {

class ServerVariables : public ::testing::Test {
 protected:
  ServerVariables() : intake_(IntakeLimits{4096, 1000, 100}) {
    testing::Drive(intake_,
                   "PUT /p%20q?a=1 HTTP/1.1\r\nHost: h\r\n"
                   "Cookie: a=1\r\nx-param-name: key\r\nCookie: b=2\r\n"
                   "X-List: one\r\nX-List: two\r\nX_Param_Timeout: 5\r\n"
                   "X-Empty:\r\nContent-Type: text/x\r\n"
                   "Content-Length: 3\r\n\r\nabc",
                   testing::kWhole);
  }

  // The variable through the buffer rule: the value, or nothing with the
  // size asked for in `needed`.
  std::optional<std::string> Get(const char* name, DWORD capacity = 256,
                                 DWORD* needed = nullptr) {
    std::string buffer(capacity, '#');
    DWORD size = capacity;
    const bool found = LookUpServerVariable(
        intake_.head(), intake_.total_bytes(), name, buffer.data(), &size);
    if (needed != nullptr) *needed = size;
    if (!found) return std::nullopt;
    EXPECT_EQ(size, std::strlen(buffer.c_str()) + 1);
    return std::string(buffer.c_str());
  }

  RequestIntake intake_;
};

TEST_F(ServerVariables, HeadersAreFoundUnderTheirCgiNames) {
  EXPECT_EQ(Get("HTTP_X_PARAM_NAME"), "key");
  EXPECT_EQ(Get("HTTP_COOKIE"), "a=1; b=2");
  EXPECT_EQ(Get("HTTP_X_LIST"), "one, two");
  EXPECT_EQ(Get("HTTP_X_EMPTY"), "");
  EXPECT_EQ(Get("HTTP_CONTENT_TYPE"), "text/x");
}

TEST_F(ServerVariables, HeaderNamesWithUnderscoresAndUnknownNamesAreAbsent) {
  DWORD needed = 0;
  EXPECT_EQ(Get("HTTP_X_PARAM_TIMEOUT", 256, &needed), std::nullopt);
  EXPECT_EQ(needed, 256u);  // absent: the size is left alone
  EXPECT_EQ(Get("HTTP_X_MISSING"), std::nullopt);
  EXPECT_EQ(Get("NO_SUCH_VARIABLE"), std::nullopt);
  EXPECT_EQ(Get("http_cookie"), std::nullopt);
}

TEST_F(ServerVariables, ValueAndTerminatorMustFitExactly) {
  DWORD needed = 0;
  EXPECT_EQ(Get("HTTP_COOKIE", 9, &needed), "a=1; b=2");  // 8 bytes + NUL
  EXPECT_EQ(Get("HTTP_COOKIE", 8, &needed), std::nullopt);
  EXPECT_EQ(needed, 9u);
  EXPECT_EQ(Get("HTTP_X_EMPTY", 1), "");
  EXPECT_EQ(Get("HTTP_X_EMPTY", 0, &needed), std::nullopt);
  EXPECT_EQ(needed, 1u);
  EXPECT_EQ(Get("REQUEST_METHOD", 3, &needed), std::nullopt);
  EXPECT_EQ(needed, 4u);
  DWORD size = 0;
  EXPECT_FALSE(
      LookUpServerVariable(intake_.head(), 3, "HTTP_COOKIE", nullptr, &size));
  EXPECT_EQ(size, 9u);
}

TEST_F(ServerVariables, RequestVariablesDescribeTheRequest) {
  EXPECT_EQ(Get("REQUEST_METHOD"), "PUT");
  EXPECT_EQ(Get("PATH_INFO"), "/p q");
  EXPECT_EQ(Get("QUERY_STRING"), "a=1");
  EXPECT_EQ(Get("CONTENT_TYPE"), "text/x");
  EXPECT_EQ(Get("CONTENT_LENGTH"), "3");
  EXPECT_EQ(Get("SERVER_PROTOCOL"), "HTTP/1.1");
}

}  // namespace
}  // namespace pendrakel::server
