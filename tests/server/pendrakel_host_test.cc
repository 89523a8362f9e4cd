// End-to-end tests of pendrakel-host with the real extension module
// pendrakel.so: the value store as an HTTP client sees it.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>

#include "tests/server/host_process.h"
#include "tests/server/http_client.h"

namespace pendrakel::testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
namespace fs = std::filesystem;

// A folder with a copy of pendrakel.so and, when given, its settings file.
class ModuleFolder {
 public:
  explicit ModuleFolder(const std::string& settings = "") {
    std::string pattern =
        (fs::temp_directory_path() / "pendrakel-host-XXXXXX").string();
    folder_ = mkdtemp(pattern.data());
    fs::copy_file(PENDRAKEL_MODULE, folder_ / "pendrakel.so");
    if (!settings.empty())
      std::ofstream(folder_ / "Pendrakel.setting") << settings;
  }
  ~ModuleFolder() {
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
  }
  std::string module() const { return (folder_ / "pendrakel.so").string(); }
  std::string settings() const {
    return (folder_ / "Pendrakel.setting").string();
  }

 private:
  fs::path folder_;
};

std::unique_ptr<HostProcess> StartStore(
    const std::string& module, const std::vector<std::string>& flags = {}) {
  std::string failure;
  std::vector<std::string> args = {"--module", module};
  args.insert(args.end(), flags.begin(), flags.end());
  auto host = HostProcess::Start(args, &failure);
  EXPECT_TRUE(host) << failure;
  return host;
}

std::optional<HttpResponse> Stat(int port) {
  return Exchange(port, MakeRequest("STAT", "/"));
}

uint64_t StatNumber(int port, const std::string& line) {
  const auto report = Stat(port);
  if (!report || !report->Header(line)) return UINT64_MAX;
  return std::stoull(*report->Header(line));
}

TEST(PendrakelHost, MethodFormRoundTrip) {
  ModuleFolder folder;
  auto host = StartStore(folder.module());
  ASSERT_TRUE(host);
  HttpClient client(host->port());
  auto exchange = [&client](const std::string& request, bool head = false) {
    EXPECT_TRUE(client.Send(request));
    auto response = client.Read(head);
    EXPECT_TRUE(response) << request;
    return response.value_or(HttpResponse{});
  };
  EXPECT_EQ(exchange(MakeRequest("PUT", "/greeting", "Content-Type: text/x\r\n",
                                 "hello"))
                .status_line,
            "HTTP/1.1 201 Created(Pendrakel)");
  EXPECT_EQ(exchange(MakeRequest("PUT", "/greeting", "Content-Type: text/x\r\n",
                                 "hello!"))
                .status_line,
            "HTTP/1.1 204 No Content(Pendrakel)");
  const HttpResponse got = exchange(MakeRequest("GET", "/greeting"));
  EXPECT_EQ(got.status_line, "HTTP/1.1 200 OK(Pendrakel)");
  EXPECT_EQ(got.body, "hello!");
  EXPECT_EQ(got.Header("Content-Type"), "text/x");
  const HttpResponse head = exchange(MakeRequest("HEAD", "/greeting"), true);
  EXPECT_EQ(head.Header("Content-Length"), "6");
  EXPECT_EQ(head.body, "");
  EXPECT_EQ(exchange(MakeRequest("NOOP", "/x")).status_line,
            "HTTP/1.1 200 OK(Pendrakel)");
  EXPECT_EQ(exchange(MakeRequest("DELETE", "/greeting")).status_line,
            "HTTP/1.1 200 OK(Pendrakel)");
  EXPECT_EQ(exchange(MakeRequest("GET", "/greeting")).status_line,
            "HTTP/1.1 404 Not Found(Pendrakel)");
  EXPECT_EQ(exchange(MakeRequest("get", "/greeting")).status_line,
            "HTTP/1.1 501 Not Implemented(Pendrakel)");
  // A name with a blank, percent-encoded on the wire.
  exchange(MakeRequest("PUT", "/two%20words", "", "v"));
  EXPECT_EQ(exchange(MakeRequest("GET", "/two%20words")).body, "v");
}

TEST(PendrakelHost, NamesAndContentTypesOfAnyLengthAreStored) {
  ModuleFolder folder;
  auto host = StartStore(folder.module(), {"--max-head", "400000"});
  ASSERT_TRUE(host);
  const std::string name = "/" + std::string(100000, 'n');
  const std::string type = "text/" + std::string(100000, 't');
  const auto stored = Exchange(
      host->port(),
      MakeRequest("PUT", name, "Content-Type: " + type + "\r\n", "long"));
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->status, 201);
  const auto read = Exchange(host->port(), MakeRequest("GET", name));
  ASSERT_TRUE(read);
  EXPECT_EQ(read->status, 200);
  EXPECT_EQ(read->body, "long");
  // Too long for the response's header block: left out of the answer.
  EXPECT_FALSE(read->Header("Content-Type"));
  const auto other = Exchange(host->port(), MakeRequest("GET", name + "x"));
  ASSERT_TRUE(other);
  EXPECT_EQ(other->status, 404);
}

TEST(PendrakelHost, CommandFormRoundTrip) {
  ModuleFolder folder;
  auto host = StartStore(folder.module());
  ASSERT_TRUE(host);
  const int port = host->port();
  const std::string name = "X-Param-Name: item\r\n";
  auto set = Exchange(port, MakeRequest("POST", "/set", name, "value"));
  ASSERT_TRUE(set);
  EXPECT_EQ(set->status_line, "HTTP/1.1 200 OK(Pendrakel)");
  EXPECT_EQ(set->Header("x-result-code"), "0");
  auto get = Exchange(port, MakeRequest("POST", "/GET", name));
  ASSERT_TRUE(get);
  EXPECT_EQ(get->Header("x-result-reason"), "OK");
  EXPECT_EQ(get->body, "value");
  ASSERT_TRUE(Exchange(port, MakeRequest("POST", "/del", name)));
  get = Exchange(port, MakeRequest("POST", "/get", name));
  ASSERT_TRUE(get);
  EXPECT_EQ(get->Header("x-result-code"), "1");
  EXPECT_EQ(get->Header("x-result-reason"), "Not Found");
  const auto unknown = Exchange(port, MakeRequest("POST", "/get/x", name));
  ASSERT_TRUE(unknown);
  EXPECT_EQ(unknown->status_line, "HTTP/1.1 404 Not Found(Pendrakel)");
}

TEST(PendrakelHost, StatReportComesAsHeaderLines) {
  ModuleFolder folder;
  auto host = StartStore(folder.module());
  ASSERT_TRUE(host);
  const auto first = Stat(host->port());
  ASSERT_TRUE(first);
  EXPECT_EQ(first->status_line, "HTTP/1.1 200 OK(Pendrakel)");
  EXPECT_EQ(first->Header("X-Memory-Total"), "0");
  EXPECT_EQ(first->Header("X-Counter-CMD-Stat"), "0");
  EXPECT_EQ(first->Header("X-Counter-ValuesCreate"), "1");
  EXPECT_EQ(first->body, "");
  EXPECT_EQ(StatNumber(host->port(), "X-Counter-CMD-Stat"), 1u);
}

TEST(PendrakelHost, VanishingUploadGivesBackEveryByte) {
  ModuleFolder folder;
  auto host = StartStore(folder.module());
  ASSERT_TRUE(host);
  const int port = host->port();
  ASSERT_TRUE(Exchange(port, MakeRequest("PUT", "/kept", "", "12345")));
  ASSERT_EQ(StatNumber(port, "X-Memory-Total"), 5u);
  for (const bool reset : {false, true}) {
    const uint64_t failed_before =
        StatNumber(port, "X-Counter-CMD-Set-NoMemory");
    {
      HttpClient upload(port);
      const std::string request =
          MakeRequest("PUT", "/broken", "", std::string(2 << 20, 'b'));
      ASSERT_TRUE(upload.Send(request.substr(0, 500000)));
      std::this_thread::sleep_for(milliseconds(100));
      upload.Close(reset);
    }
    // The store fails once the host sees the client gone.
    for (int i = 0; i < 200 && StatNumber(port, "X-Counter-CMD-Set-NoMemory") ==
                                   failed_before;
         ++i) {
      std::this_thread::sleep_for(milliseconds(25));
    }
    EXPECT_EQ(StatNumber(port, "X-Counter-CMD-Set-NoMemory"),
              failed_before + 1);
    EXPECT_EQ(StatNumber(port, "X-Memory-Total"), 5u);
  }
  const auto kept = Exchange(port, MakeRequest("GET", "/kept"));
  ASSERT_TRUE(kept);
  EXPECT_EQ(kept->body, "12345");
  EXPECT_EQ(Exchange(port, MakeRequest("GET", "/broken"))->status, 404);
}

TEST(PendrakelHost, DistributedCookieTakesTheClientBackToItsValues) {
  ModuleFolder folder(
      "<Settings><Cookie Distribute=\"true\" Name=\"sid\"/></Settings>");
  auto host = StartStore(folder.module());
  ASSERT_TRUE(host);
  const int port = host->port();
  const auto first = Exchange(port, MakeRequest("PUT", "/mine", "", "secret"));
  ASSERT_TRUE(first);
  const auto cookie = first->Header("Set-Cookie");
  ASSERT_TRUE(cookie);
  EXPECT_TRUE(std::regex_match(*cookie, std::regex("sid=[0-9a-f]{32}")))
      << *cookie;
  const auto mine = Exchange(
      port, MakeRequest("GET", "/mine", "Cookie: " + *cookie + "\r\n"));
  ASSERT_TRUE(mine);
  EXPECT_EQ(mine->body, "secret");
  EXPECT_FALSE(mine->Header("Set-Cookie"));
  const auto stranger = Exchange(port, MakeRequest("GET", "/mine"));
  ASSERT_TRUE(stranger);
  EXPECT_EQ(stranger->status, 404);
  ASSERT_TRUE(stranger->Header("Set-Cookie"));
  EXPECT_NE(*stranger->Header("Set-Cookie"), *cookie);
}

TEST(PendrakelHost, BrokenSettingsFileStopsStartUp) {
  ModuleFolder folder("<Settings><GC Limit=\"\"/>");
  const HostExit exit = RunHostToExit(
      {"--listen", "127.0.0.1:0", "--module", folder.module()}, seconds(10));
  EXPECT_EQ(exit.exit_code, 1);
  EXPECT_EQ(exit.err.find('\n'), exit.err.size() - 1) << exit.err;
  EXPECT_NE(exit.err.find(folder.module()), std::string::npos) << exit.err;
  EXPECT_NE(exit.err.find("check its settings file " + folder.settings()),
            std::string::npos)
      << exit.err;
}

TEST(PendrakelHost, SigtermStopsTheStoreAndExitsZero) {
  ModuleFolder folder;
  auto host = StartStore(folder.module());
  ASSERT_TRUE(host);
  ASSERT_TRUE(Exchange(host->port(), MakeRequest("PUT", "/k", "", "v")));
  const HostExit exit = host->Stop(SIGTERM, seconds(15));
  EXPECT_EQ(exit.exit_code, 0) << exit.err;
  EXPECT_EQ(exit.err, "");
}

// curl, a client of its own with its own ideas of Expect and framing.
TEST(PendrakelHost, CurlStoresAndReadsBothForms) {
  if (std::system("command -v curl > /dev/null 2>&1") != 0)
    GTEST_SKIP() << "curl is not installed";
  ModuleFolder folder;
  auto host = StartStore(folder.module());
  ASSERT_TRUE(host);
  const fs::path work = fs::temp_directory_path() /
                        ("pendrakel-curl-" + std::to_string(getpid()));
  fs::create_directories(work);
  std::string payload(300000, '\0');
  for (size_t i = 0; i < payload.size(); ++i)
    payload[i] = static_cast<char>('a' + i % 26);
  std::ofstream(work / "payload") << payload;
  const std::string url = "http://127.0.0.1:" + std::to_string(host->port());
  const std::string curl = "curl -sS --max-time 20 ";
  auto run = [&](const std::string& arguments) {
    return std::system((curl + arguments).c_str());
  };
  ASSERT_EQ(
      run("-o /dev/null -w '%{http_code}' -X PUT -H 'Expect: 100-continue' "
          "--data-binary @" +
          (work / "payload").string() + " " + url + "/file > " +
          (work / "code").string()),
      0);
  std::string code;
  std::ifstream(work / "code") >> code;
  EXPECT_EQ(code, "201");
  ASSERT_EQ(run("-o " + (work / "back").string() + " " + url + "/file"), 0);
  ASSERT_EQ(run("-o " + (work / "command").string() +
                " -X POST -H 'X-Param-Name: file' " + url + "/get"),
            0);
  ASSERT_EQ(
      run("-D " + (work / "stat").string() + " -o /dev/null -X STAT " + url),
      0);
  auto read = [&work](const std::string& name) {
    std::ifstream in(work / name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  EXPECT_TRUE(read("back") == payload);
  EXPECT_TRUE(read("command") == payload);
  EXPECT_NE(read("stat").find("X-Memory-Total: 300000\r\n"), std::string::npos)
      << read("stat");
  fs::remove_all(work);
}

}  // namespace
}  // namespace pendrakel::testing
