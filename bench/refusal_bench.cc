// What a refused new cookie costs when the address space runs out: the
// table is filled to just short of its growth with cookies that share a
// 990-byte prefix, the process's address space is limited (RLIMIT_AS) to
// what it maps now plus a margin (the argument, in MiB), and new cookies are
// entered until kRefusals of them have been refused. Reported: the longest
// and the mean refusal (wall time, microseconds), how many cookies still got
// in, and the longest a request for a cookie already in the table took
// meanwhile, on a thread started before the limit.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_names.h"
#include "store/cookie_table.h"
#include "store/memory_budget.h"
#include "store/values.h"
#include "store/values_ref.h"

namespace pendrakel::bench {
namespace {

constexpr int64_t kNow = 1'700'000'000;
constexpr size_t kPrefixBytes = 990;
// Just short of where an index of 262 143 slots grows (229 376 in use).
constexpr size_t kCookies = 229'370;
constexpr int kRefusals = 50;
// Attempts before giving up on reaching kRefusals.
constexpr size_t kMaxAttempts = 200'000;

using Clock = std::chrono::steady_clock;

std::string Cookie(size_t index) {
  return std::string(kPrefixBytes, 'p') + "pk=" + BenchName(index);
}

// VmSize of this process in bytes; 0 when it cannot be read.
size_t MappedBytes() {
  FILE* status = std::fopen("/proc/self/status", "r");
  if (status == nullptr) return 0;
  char line[256];
  size_t kib = 0;
  while (std::fgets(line, sizeof line, status) != nullptr) {
    if (std::sscanf(line, "VmSize: %zu kB", &kib) == 1) break;
  }
  std::fclose(status);
  return kib * 1024;
}

void BM_RefusedNewCookieUnderAddressLimit(benchmark::State& state) {
  for (auto _ : state) {
    MemoryBudget budget;
    CookieTable table(budget);
    for (size_t i = 0; i < kCookies; ++i) {
      table.AcquireOrCreate(Cookie(i), kNow).values.reset();
    }
    std::vector<std::string> fresh;
    fresh.reserve(kMaxAttempts);
    for (size_t i = 0; i < kMaxAttempts; ++i)
      fresh.push_back(Cookie(kCookies + i));
    // Requests for cookies in the table, beside the refusals.
    std::atomic<bool> done{false};
    Clock::duration longestRequest{};
    std::thread requests([&] {
      for (size_t i = 0; !done.load(std::memory_order_relaxed); ++i) {
        const std::string cookie = Cookie(i % kCookies);
        const auto start = Clock::now();
        table.Acquire(cookie, kNow).reset();
        longestRequest = std::max(longestRequest, Clock::now() - start);
      }
    });
    rlimit before{};
    getrlimit(RLIMIT_AS, &before);
    const size_t margin = static_cast<size_t>(state.range(0)) << 20;
    const rlimit tight{MappedBytes() + margin, before.rlim_max};
    if (setrlimit(RLIMIT_AS, &tight) != 0) state.SkipWithError("setrlimit");
    int refused = 0;
    size_t entered = 0;
    Clock::duration longest{};
    Clock::duration all{};
    for (size_t i = 0; i < kMaxAttempts && refused < kRefusals; ++i) {
      const auto start = Clock::now();
      CookieTable::AcquireResult got = table.AcquireOrCreate(fresh[i], kNow);
      const auto took = Clock::now() - start;
      if (got.values) {
        ++entered;
        continue;
      }
      ++refused;
      longest = std::max(longest, took);
      all += took;
    }
    setrlimit(RLIMIT_AS, &before);
    done = true;
    requests.join();
    using Micro = std::chrono::duration<double, std::micro>;
    state.counters["refused"] = refused;
    state.counters["entered"] = static_cast<double>(entered);
    state.counters["longest_refusal_us"] = Micro(longest).count();
    state.counters["mean_refusal_us"] =
        refused == 0 ? 0 : Micro(all).count() / refused;
    state.counters["longest_request_us"] = Micro(longestRequest).count();
  }
}
BENCHMARK(BM_RefusedNewCookieUnderAddressLimit)
    ->ArgName("margin_mib")
    ->Arg(32)
    ->Arg(128)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace pendrakel::bench
