// A soak of the store in-process, through the fake host: several threads
// make thousands of cookie collections by requests, the values collector
// drops the idle ones while others are still used, then collector passes
// race with requests on what is left, and one last pass over an idle store
// frees everything: no byte stays charged and the cookie table is empty.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "request/collector_passes.h"
#include "store/value_ref.h"
#include "store/values_ref.h"
#include "tests/hardening/build_speed.h"
#include "tests/test_extension.h"

namespace pendrakel::testing {
namespace {

constexpr int kThreads = 4;
constexpr int kCollectionsPerThread = 1500 / kSlowdownFactor;
constexpr int kValuesPerCollection = 3;
constexpr int kSharedValues = 100;
constexpr int kRacingRequestsPerThread = 4000 / kSlowdownFactor;
constexpr int64_t kStart = 1'800'000'000;

// One collection made by a client: the cookie it is known by and the bytes
// its values hold.
struct Made {
  std::string cookie;
  uint64_t bytes = 0;
};

class CollectorSoak : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    gTestNow.store(kStart);
    extension_.settings.Distribute = GetParam();
  }

  // Runs `method` on `name` with `cookie` (none when empty) and returns the
  // finished request. A cookie handed out replaces `cookie`.
  std::unique_ptr<FakeRequest> Run(const std::string& method,
                                   const std::string& name, std::string& cookie,
                                   const std::string& body = "",
                                   const std::string& timeout = "") {
    auto request = std::make_unique<FakeRequest>(method, "/" + name);
    if (!cookie.empty()) request->Header("Cookie", cookie);
    if (!timeout.empty()) request->Header("X-Param-Timeout", timeout);
    request->Body(body);
    extension_.Run(*request);
    const std::string handed_out = request->HeaderValue("Set-Cookie");
    if (!handed_out.empty()) cookie = handed_out;
    return request;
  }

  // Thread `thread` makes its collections, each with a few values.
  void MakeCollections(int thread, std::vector<Made>& made) {
    for (int i = 0; i < kCollectionsPerThread; ++i) {
      Made collection;
      if (!GetParam())
        collection.cookie =
            "soak-" + std::to_string(thread) + "-" + std::to_string(i);
      for (int v = 0; v < kValuesPerCollection; ++v) {
        const size_t size = static_cast<size_t>((i * 31 + v * 17) % 2000);
        const auto put = Run("PUT", "v" + std::to_string(v), collection.cookie,
                             std::string(size, 'x'));
        EXPECT_EQ(put->status(), "201 Created(Pendrakel)");
        collection.bytes += size;
      }
      EXPECT_FALSE(collection.cookie.empty());
      made.push_back(collection);
    }
  }

  // Mixed requests on the collections that survived, while collections go.
  void Race(int thread, std::vector<Made>& made) {
    for (int i = 0; i < kRacingRequestsPerThread; ++i) {
      Made& target = made[static_cast<size_t>(i * 7 + thread) % made.size()];
      const std::string name = "v" + std::to_string(i % kValuesPerCollection);
      const std::string timeout = i % 5 == 0 ? "2" : "";
      switch (i % 4) {
        case 0:
        case 1: {
          const auto put =
              Run("PUT", name, target.cookie,
                  std::string(static_cast<size_t>(i % 3000), 'r'), timeout);
          EXPECT_TRUE(put->status() == "201 Created(Pendrakel)" ||
                      put->status() == "204 No Content(Pendrakel)")
              << put->status();
          break;
        }
        case 2: {
          const auto get = Run("GET", name, target.cookie);
          EXPECT_TRUE(get->status() == "200 OK(Pendrakel)" ||
                      get->status() == "404 Not Found(Pendrakel)")
              << get->status();
          break;
        }
        default: {
          const auto del = Run("DELETE", name, target.cookie);
          EXPECT_TRUE(del->status() == "200 OK(Pendrakel)" ||
                      del->status() == "404 Not Found(Pendrakel)")
              << del->status();
        }
      }
    }
  }

  void Pass(int64_t idleLimit) {
    DropAndCountIdleCollections(gTestNow.load(), idleLimit, extension_.cookies,
                                extension_.shared, extension_.counters);
  }
  uint32_t Count(Counter field) const { return extension_.Counter(field); }

  TestExtension extension_;
};

TEST_P(CollectorSoak, EveryCollectionAndByteIsFreedOnceIdle) {
  const bool distribute = GetParam();
  const int64_t idle = extension_.settings.IdleLimit;
  std::vector<std::vector<Made>> made(kThreads);
  {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([this, t, &made] { MakeCollections(t, made[t]); });
    for (std::thread& thread : threads) thread.join();
  }
  uint64_t shared_bytes = 0;
  std::string no_cookie;
  if (!distribute) {
    for (int i = 0; i < kSharedValues; ++i) {
      Run("PUT", "shared" + std::to_string(i), no_cookie,
          std::string(100, 's'));
      shared_bytes += 100;
    }
  }
  uint64_t all_bytes = shared_bytes;
  for (const auto& list : made)
    for (const Made& collection : list) all_bytes += collection.bytes;
  constexpr size_t kCollections = kThreads * kCollectionsPerThread;
  ASSERT_EQ(extension_.cookies.size(), kCollections);
  ASSERT_EQ(extension_.budget.total(), all_bytes);

  // Half the collections are used again later; only the others go idle.
  gTestNow.fetch_add(idle / 2);
  uint64_t kept_bytes = shared_bytes;
  std::vector<std::vector<Made>> kept(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    for (size_t i = 1; i < made[t].size(); i += 2) {
      Made& collection = made[t][i];
      const std::string cookie = collection.cookie;
      EXPECT_EQ(Run("NOOP", "x", collection.cookie)->status(),
                "200 OK(Pendrakel)");
      EXPECT_EQ(collection.cookie, cookie) << "a known cookie was replaced";
      kept_bytes += collection.bytes;
      kept[t].push_back(collection);
    }
  }
  if (!distribute) Run("NOOP", "x", no_cookie);
  gTestNow.store(kStart + idle);
  Pass(idle);
  EXPECT_EQ(extension_.cookies.size(), kCollections / 2);
  EXPECT_EQ(extension_.budget.total(), kept_bytes);
  EXPECT_EQ(Count(Counter::kValuesCollect), kCollections / 2);

  // Collector passes that drop every used collection race with requests on
  // the collections that are left; the clock moves on so values expire too.
  std::atomic<int> racing{kThreads};
  std::thread collector([this, &racing] {
    while (racing.load() > 0) {
      Pass(-1);
      DropAndCountExpiredValues(gTestNow.fetch_add(1) + 1, extension_.cookies,
                                extension_.shared, extension_.counters);
    }
  });
  {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([this, t, &kept, &racing] {
        Race(t, kept[t]);
        --racing;
      });
    }
    for (std::thread& thread : threads) thread.join();
  }
  collector.join();

  // Idle at last: one pass frees everything.
  gTestNow.fetch_add(idle);
  Pass(idle);
  EXPECT_EQ(extension_.cookies.size(), 0u);
  EXPECT_EQ(extension_.budget.total(), 0u);
  // Every collection made was dropped exactly once (a renewed shared one is
  // counted as both).
  EXPECT_EQ(Count(Counter::kValuesCollect), Count(Counter::kValuesCreate));
  EXPECT_EQ(Count(Counter::kCookieDistribute),
            distribute ? Count(Counter::kValuesCreate) : 0u);
  EXPECT_EQ(Count(Counter::kCmdSet), Count(Counter::kCmdSetOk));
  EXPECT_EQ(Count(Counter::kCmdSetOk),
            Count(Counter::kValueCreate) + Count(Counter::kValueReplace));
  EXPECT_EQ(Count(Counter::kCmdGet),
            Count(Counter::kCmdGetOk) + Count(Counter::kCmdGetNotFound));
  EXPECT_EQ(Count(Counter::kValuesError), 0u);
}

INSTANTIATE_TEST_SUITE_P(Distribute, CollectorSoak, ::testing::Bool(),
                         [](const auto& info) {
                           return info.param ? "On" : "Off";
                         });

}  // namespace
}  // namespace pendrakel::testing
