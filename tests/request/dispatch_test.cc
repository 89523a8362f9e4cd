#include "request/dispatch.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "store/value_ref.h"
#include "store/values.h"
#include "store/values_ref.h"
#include "tests/request/request_test_util.h"

namespace pendrakel {
namespace {

using testing::FakeRequest;
using testing::TestExtension;

TEST(Dispatch, PathRemainderSkipsThePathBaseByLengthAlone) {
  EXPECT_EQ(PathRemainder("/name", 1), "name");
  EXPECT_EQ(PathRemainder("/xyz/get", 5), "get");
  EXPECT_EQ(PathRemainder("/", 1), "");
  EXPECT_EQ(PathRemainder("", 1), "");  // shorter than the base: empty
  EXPECT_EQ(PathRemainder("/ab", 5), "");
  EXPECT_EQ(PathRemainder("/ab", 0), "/ab");
  EXPECT_EQ(PathRemainder(nullptr, 1), "");
}

// Sends `method` to `path` with an X-Param-Name of "n"; returns the status.
std::string Status(TestExtension& ext, const char* method, const char* path,
                   const std::string& body = "") {
  FakeRequest request(method, path);
  request.Header("X-Param-Name", "n").Body(body);
  ext.Run(request);
  return request.status();
}

TEST(Dispatch, CommandFormMatchesWholeCommandNamesInOrder) {
  TestExtension ext;
  EXPECT_EQ(Status(ext, "POST", "/set", "v"), "200 OK(Pendrakel)");
  EXPECT_EQ(Status(ext, "POST", "/GET"), "200 OK(Pendrakel)");
  EXPECT_EQ(ext.counters.Read(Counter::kCmdGetOk), 1u);
  EXPECT_EQ(Status(ext, "POST", "/get/x"), "404 Not Found(Pendrakel)");
  EXPECT_EQ(Status(ext, "POST", "/ge"), "404 Not Found(Pendrakel)");
  EXPECT_EQ(Status(ext, "POST", "/"), "404 Not Found(Pendrakel)");
  EXPECT_EQ(ext.counters.Read(Counter::kCmdUnknown), 3u);

  // Two names set alike: the earlier of get, set, del, nop wins.
  std::strcpy(ext.settings.SetCmdName, "get");
  FakeRequest both("POST", "/get");
  both.Header("X-Param-Name", "n").Body("replacement");
  ext.Run(both);
  EXPECT_EQ(both.body(), "v");
  EXPECT_EQ(both.bodyBytesRead(), both.ecb()->cbAvailable);
}

TEST(Dispatch, UnknownCommandAnswersOnlyContentLength) {
  TestExtension ext;
  FakeRequest request("POST", "/frobnicate");
  ext.Run(request);
  EXPECT_EQ(request.headers(), "Content-Length: 0\r\n\r\n");
}

TEST(Dispatch, MethodsAreExactAndOthersAre501) {
  TestExtension ext;
  for (const char* method : {"post", "get", "Put", "OPTIONS", "PATCH", ""}) {
    SCOPED_TRACE(method);
    FakeRequest request(method, "/n");
    ext.Run(request);
    EXPECT_EQ(request.status(), "501 Not Implemented(Pendrakel)");
    EXPECT_EQ(request.headers(), "Content-Length: 0\r\n\r\n");
  }
  EXPECT_EQ(ext.counters.Read(Counter::kCmdUnknown), 6u);
}

TEST(Dispatch, ConfiguredPathBaseAndCommandNamesAreUsed) {
  TestExtension ext;
  std::strcpy(ext.settings.PathBase, "/abc/");
  ext.settings.PathBaseLength = 5;
  std::strcpy(ext.settings.GetCmdName, "fetch");
  EXPECT_EQ(Status(ext, "PUT", "/xyz/name", "v"), "201 Created(Pendrakel)");
  FakeRequest get("GET", "/abc/name");
  ext.Run(get);
  EXPECT_EQ(get.body(), "v");
  FakeRequest fetch("POST", "/kv1/FETCH");
  fetch.Header("X-Param-Name", "name");
  ext.Run(fetch);
  EXPECT_EQ(fetch.body(), "v");
  EXPECT_EQ(Status(ext, "POST", "/abc/get"), "404 Not Found(Pendrakel)");
}

TEST(Dispatch, PathInfoEqualToTheBaseIsTheEmptyName) {
  TestExtension ext;
  EXPECT_EQ(Status(ext, "PUT", "/", "root"), "201 Created(Pendrakel)");
  FakeRequest get("GET", "/");
  ext.Run(get);
  EXPECT_EQ(get.body(), "root");
}

TEST(Dispatch, NewCookieLineComesFirstIn404And501Too) {
  TestExtension ext;
  ext.settings.Distribute = true;
  for (const char* method : {"POST", "BREW"}) {
    FakeRequest request(method, "/unknown");
    ext.Run(request);
    const auto lines = request.HeaderLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind("Set-Cookie: ", 0), 0u);
    EXPECT_EQ(lines[1], "Content-Length: 0");
  }
  EXPECT_EQ(ext.counters.Read(Counter::kCookieDistribute), 2u);
}

TEST(Dispatch, RequestsReleaseTheirCollection) {
  TestExtension ext;
  FakeRequest put("PUT", "/n");
  put.Header("Cookie", "c").Body("v");
  ext.Run(put);
  // Once the table lets go nothing else holds the collection, so its value's
  // byte is back in the budget.
  std::vector<ValuesRef> dropped;
  ext.cookies.CollectIdle(testing::gTestNow.load(), /*idleLimit=*/-1, dropped);
  ASSERT_EQ(dropped.size(), 1u);
  EXPECT_EQ(ext.budget.total(), 1u);
  dropped.clear();
  EXPECT_EQ(ext.budget.total(), 0u);
}

}  // namespace
}  // namespace pendrakel
