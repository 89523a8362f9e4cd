// The built module, loaded with dlopen from a folder of its own the way a
// host loads it.
#include <dirent.h>
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>

#include "base/isapi.h"
#include "tests/fake_host.h"

namespace pendrakel {
namespace {

namespace fs = std::filesystem;
using testing::FakeRequest;

int ThreadCount() {
  int count = 0;
  for ([[maybe_unused]] auto& entry : fs::directory_iterator("/proc/self/task"))
    ++count;
  return count;
}

// The thread count once it is `expected`, or after five seconds: a joined
// thread leaves /proc/self/task a moment after the join returns.
int ThreadCountOnceAt(int expected) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  int count = ThreadCount();
  while (count != expected && std::chrono::steady_clock::now() < end) {
    std::this_thread::yield();
    count = ThreadCount();
  }
  return count;
}

// A copy of the module in a fresh folder, optionally beside a settings
// file, loaded with dlopen and unloaded with dlclose.
class LoadedModule {
 public:
  explicit LoadedModule(const std::string& settings = "") {
    static int serial = 0;
    folder_ = fs::temp_directory_path() /
              ("pendrakel-module-" + std::to_string(getpid()) + "-" +
               std::to_string(serial++));
    fs::create_directories(folder_);
    fs::copy_file(PENDRAKEL_MODULE_PATH, folder_ / "pendrakel.so");
    if (!settings.empty()) {
      std::ofstream(folder_ / "Pendrakel.setting") << settings;
    }
    handle_ = dlopen((folder_ / "pendrakel.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    EXPECT_NE(handle_, nullptr) << dlerror();
    getVersion = reinterpret_cast<PFN_GETEXTENSIONVERSION>(
        dlsym(handle_, "GetExtensionVersion"));
    proc = reinterpret_cast<PFN_HTTPEXTENSIONPROC>(
        dlsym(handle_, "HttpExtensionProc"));
    terminate = reinterpret_cast<PFN_TERMINATEEXTENSION>(
        dlsym(handle_, "TerminateExtension"));
  }
  ~LoadedModule() {
    if (handle_ != nullptr) dlclose(handle_);
    fs::remove_all(folder_);
  }

  FakeRequest& Run(FakeRequest& request) {
    EXPECT_EQ(proc(request.ecb()), static_cast<DWORD>(HSE_STATUS_SUCCESS));
    return request;
  }

  const fs::path& folder() const { return folder_; }

  PFN_GETEXTENSIONVERSION getVersion = nullptr;
  PFN_HTTPEXTENSIONPROC proc = nullptr;
  PFN_TERMINATEEXTENSION terminate = nullptr;

 private:
  fs::path folder_;
  void* handle_ = nullptr;
};

TEST(Module, ExportsExactlyTheThreeEntryPoints) {
  FILE* pipe =
      popen("nm -D --defined-only " PENDRAKEL_MODULE_PATH " 2>&1", "r");
  ASSERT_NE(pipe, nullptr);
  std::set<std::string> names;
  char line[512];
  while (fgets(line, sizeof line, pipe)) {
    std::string text(line);
    names.insert(text.substr(text.rfind(' ') + 1,
                             text.find('\n') - text.rfind(' ') - 1));
  }
  EXPECT_EQ(pclose(pipe), 0);
  EXPECT_EQ(names,
            (std::set<std::string>{"GetExtensionVersion", "HttpExtensionProc",
                                   "TerminateExtension"}));
}

TEST(Module, StartsWithVersionDescriptionAndAFirstStat) {
  LoadedModule module;
  HSE_VERSION_INFO info{};
  ASSERT_TRUE(module.getVersion(&info));
  EXPECT_EQ(info.dwExtensionVersion, 0x00070005u);
  EXPECT_STREQ(info.lpszExtensionDesc, "Pendrakel ISAPI Extension");

  FakeRequest stat("STAT", "/");
  module.Run(stat);
  EXPECT_EQ(stat.status(), "200 OK(Pendrakel)");
  EXPECT_EQ(stat.HeaderValue("X-Memory-Total"), "0");
  EXPECT_EQ(stat.HeaderValue("X-Counter-CMD-Stat"), "0");
  EXPECT_EQ(stat.HeaderValue("X-Counter-ValuesCreate"), "1");
  EXPECT_EQ(stat.HeaderLines().size(), 20u);

  FakeRequest put("PUT", "/name");
  put.Body("stored bytes");
  module.Run(put);
  EXPECT_EQ(put.status(), "201 Created(Pendrakel)");
  FakeRequest get("GET", "/name");
  module.Run(get);
  EXPECT_EQ(get.body(), "stored bytes");
  EXPECT_TRUE(module.terminate(0));
}

TEST(Module, ReadsTheSettingsFileBesideItself) {
  LoadedModule module(
      "<Settings><Cookie Distribute='TRUE' Name='pk'/>"
      "<CmdName Get='fetch'/><PathBase>/kv/</PathBase></Settings>");
  HSE_VERSION_INFO info{};
  ASSERT_TRUE(module.getVersion(&info));
  EXPECT_STREQ(info.lpszExtensionDesc, "Pendrakel ISAPI Extension");
  FakeRequest put("PUT", "/kv/name");
  put.Body("v");
  module.Run(put);
  const std::string cookie = put.HeaderValue("Set-Cookie");
  EXPECT_EQ(cookie.rfind("pk=", 0), 0u) << put.headers();
  FakeRequest fetch("POST", "/kv/FETCH");
  fetch.Header("Cookie", cookie).Header("X-Param-Name", "name");
  module.Run(fetch);
  EXPECT_EQ(fetch.body(), "v");
  EXPECT_TRUE(module.terminate(1));
}

TEST(Module, BrokenSettingsFileFailsStartUpWithNoThreadLeft) {
  const int before = ThreadCount();
  LoadedModule module("<Settings><GC Limit='5'></Settings>");
  HSE_VERSION_INFO info{};
  EXPECT_FALSE(module.getVersion(&info));
  EXPECT_EQ(ThreadCountOnceAt(before), before);
  EXPECT_TRUE(module.terminate(0));  // harmless after a failed start-up
  EXPECT_TRUE(module.terminate(0));
}

// A settings file that is a link to nothing is a file that cannot be read,
// not an absent one: start-up fails rather than run on the defaults.
TEST(Module, ASettingsLinkThatLeadsNowhereFailsStartUp) {
  const int before = ThreadCount();
  LoadedModule module;
  fs::create_symlink(module.folder() / "gone.setting",
                     module.folder() / "Pendrakel.setting");
  HSE_VERSION_INFO info{};
  EXPECT_FALSE(module.getVersion(&info));
  EXPECT_EQ(ThreadCountOnceAt(before), before);
}

TEST(Module, TerminateReturnsAtOnceWhileBothCollectorsSleep) {
  const int before = ThreadCount();
  LoadedModule module;
  HSE_VERSION_INFO info{};
  ASSERT_TRUE(module.getVersion(&info));
  // The two collectors, and no other: the idle one also destroys large
  // dropped collections.
  EXPECT_EQ(ThreadCount(), before + 2);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(module.terminate(0));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(ThreadCountOnceAt(before), before);
  EXPECT_TRUE(module.terminate(0));
}

// Values left in cookie collections and in the shared one are given back at
// unload; the leak checker of the sanitizer build holds the module to it.
TEST(Module, UnloadGivesEveryByteBack) {
  LoadedModule module;
  HSE_VERSION_INFO info{};
  ASSERT_TRUE(module.getVersion(&info));
  for (const char* cookie : {"", "a=1", "b=2"}) {
    FakeRequest put("PUT", "/v");
    put.Body(std::string(1000, 'x'));
    if (*cookie) put.Header("Cookie", cookie);
    module.Run(put);
    EXPECT_EQ(put.status(), "201 Created(Pendrakel)");
  }
  FakeRequest stat("STAT", "/");
  module.Run(stat);
  EXPECT_EQ(stat.HeaderValue("X-Memory-Total"), "3000");
  EXPECT_TRUE(module.terminate(0));
}

// A shared collection large enough to be destroyed lazily is gone, bytes
// and all, once shut-down returns.
TEST(Module, ShutDownWaitsForTheLargeSharedCollection) {
  LoadedModule module;
  HSE_VERSION_INFO info{};
  ASSERT_TRUE(module.getVersion(&info));
  for (int i = 0; i < 2000; ++i) {
    FakeRequest put("PUT", "/" + std::to_string(i));
    put.Body("x");
    module.Run(put);
  }
  FakeRequest full("STAT", "/");
  module.Run(full);
  EXPECT_EQ(full.HeaderValue("X-Memory-Total"), "2000");
  EXPECT_TRUE(module.terminate(0));
  FakeRequest empty("STAT", "/");  // STAT reads the budget alone
  module.Run(empty);
  EXPECT_EQ(empty.HeaderValue("X-Memory-Total"), "0");
}

}  // namespace
}  // namespace pendrakel
