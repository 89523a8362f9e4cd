// A slow soak of pendrakel-host with the real store: thousands of cookie
// collections holding over a hundred MiB are dropped by the store's own
// values collector (a negative GC limit drops every used collection on each
// pass, one a minute), twice; the second round fits in the memory the first
// one freed, and every byte is given back to the budget. Labelled slow: it
// waits for two passes.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/hardening/store_host.h"
#include "tests/server/http_client.h"

namespace pendrakel::testing {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::seconds;

constexpr int kThreads = 4;
constexpr int kCollectionsPerThread = 500;
constexpr size_t kMaxValueBytes = 64 * 1024;
constexpr uint64_t kMiB = 1024 * 1024;
// The next collector pass (one a minute) and room for a loaded machine.
constexpr seconds kPassWait{90};
// How far the host's resident memory may differ from where it should be.
constexpr uint64_t kResidentSlackBytes = 16 * kMiB;
// A second round may also peak this fraction (1/n) above the first: the
// allocator's placement and a sanitizer's shadow memory vary between rounds.
constexpr uint64_t kPeakSlackDivisor = 10;

// Stores values of random sizes in new collections (one cookie handed out
// per collection); returns how many collections were made, 0 on a failure.
int Fill(int port, int thread, uint64_t& bytes) {
  std::mt19937 random(static_cast<unsigned>(thread) + 17u);
  HttpClient client(port);
  for (int i = 0; i < kCollectionsPerThread; ++i) {
    std::string cookie;
    for (int v = 0; v < 2; ++v) {
      const size_t size = 1024 + random() % kMaxValueBytes;
      const std::string headers =
          cookie.empty() ? "" : "Cookie: " + cookie + "\r\n";
      if (!client.Send(MakeRequest("PUT", "/v" + std::to_string(v), headers,
                                   std::string(size, 'm'))))
        return 0;
      const auto answer = client.Read();
      if (!answer || answer->status != 201) return 0;
      if (cookie.empty()) cookie = answer->Header("Set-Cookie").value_or("");
      if (cookie.empty()) return 0;
      bytes += size;
    }
  }
  return kCollectionsPerThread;
}

// Fills from several threads; the number of collections made.
int FillAll(int port, uint64_t& bytes) {
  std::vector<uint64_t> filled(kThreads, 0);
  std::vector<int> made(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] { made[t] = Fill(port, t, filled[t]); });
  for (std::thread& thread : threads) thread.join();
  int collections = 0;
  for (int t = 0; t < kThreads; ++t) {
    collections += made[t];
    bytes += filled[t];
  }
  return collections;
}

// Waits for the collector passes to have dropped `made` collections; the
// last STAT report.
std::optional<StatReport> WaitForCollections(int port, uint64_t made) {
  std::optional<StatReport> report;
  const auto end = Clock::now() + kPassWait;
  while (Clock::now() < end) {
    report = ReadStat(port);
    if (StatValue(report, "X-Counter-ValuesCollect") >= made) break;
    std::this_thread::sleep_for(seconds(1));
  }
  return report;
}

TEST(HostMemorySoak, CollectedMemoryIsReusedAndGivenBack) {
  auto host = StoreHost::Start(
      "<S><GC Limit=\"-1\"/><Cookie Distribute=\"true\"/></S>");
  ASSERT_TRUE(host);
  const int port = host->port();
  // A first small round brings the host's threads and buffers to their
  // working size before the start is measured; each NOOP without a cookie
  // makes a collection too.
  constexpr int kWarmRequests = 50;
  std::vector<std::thread> warm;
  for (int t = 0; t < kThreads; ++t) {
    warm.emplace_back([port] {
      HttpClient client(port);
      for (int i = 0; i < kWarmRequests; ++i) {
        client.Send(MakeRequest("NOOP", "/warm"));
        client.Read();
      }
    });
  }
  for (std::thread& thread : warm) thread.join();
  const uint64_t start = host->ResidentBytes();
  ASSERT_GT(start, 0u);

  uint64_t made = kThreads * kWarmRequests;
  uint64_t first_peak = 0;
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    uint64_t bytes = 0;
    const int collections = FillAll(port, bytes);
    ASSERT_EQ(collections, kThreads * kCollectionsPerThread);
    made += static_cast<uint64_t>(collections);
    const uint64_t peak = host->ResidentBytes();
    EXPECT_EQ(StatValue(ReadStat(port), "X-Memory-Total"), bytes);
    EXPECT_GE(peak, start + bytes / 2) << "the values do not show in RSS";
    // The same values again fit in what the first round freed: nothing of
    // it was lost.
    if (round == 0) first_peak = peak;
    EXPECT_LE(peak, first_peak + std::max(kResidentSlackBytes,
                                          first_peak / kPeakSlackDivisor))
        << "first peak " << first_peak / kMiB << " MiB, now " << peak / kMiB
        << " MiB";

    const auto report = WaitForCollections(port, made);
    EXPECT_EQ(StatValue(report, "X-Counter-ValuesCollect"), made);
    EXPECT_EQ(StatValue(report, "X-Memory-Total"), 0u);
    // The counters rise during the pass; memory goes back to the system
    // right after it. What stays is the heap's per-thread bookkeeping (an
    // arena for each thread that stored values), allowed a fifth of what
    // the values took.
    const uint64_t bound =
        start + std::max<uint64_t>(kResidentSlackBytes, (peak - start) / 5);
    uint64_t after = host->ResidentBytes();
    for (int wait = 0; wait < 50 && after > bound; ++wait) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      after = host->ResidentBytes();
    }
    EXPECT_LE(after, bound)
        << "resident at start " << start / kMiB << " MiB, full " << peak / kMiB
        << " MiB, after the pass " << after / kMiB << " MiB";
    ASSERT_TRUE(host->Alive());
  }
}

}  // namespace
}  // namespace pendrakel::testing
