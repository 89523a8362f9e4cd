// How long a request waits behind a collector pass, and behind the growth
// of the cookie table: a second thread keeps resolving cookies of a full
// table while the pass (or the insert that grows the table) runs, and the
// longest of those resolutions is reported as `longest_wait_us` (wall time,
// so a loaded machine adds its own delays: compare the median of a few
// runs). The pass itself is timed as the iteration.
//
// Tables: 1 000 000 short cookies, and 229 000 or 300 000 cookies that share
// a 990-byte prefix (what a browser sends for a busy site), where sorting or
// copying keys costs most. Every collection was used at the same second, so
// the idle pass finds none idle, as in most minutes.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_names.h"
#include "store/collectors.h"
#include "store/cookie_table.h"
#include "store/memory_budget.h"
#include "store/shared_values.h"
#include "store/values.h"
#include "store/values_ref.h"

namespace pendrakel::bench {
namespace {

constexpr int64_t kUsed = 1'700'000'000;
// A pass a minute after every collection was used, with the default limit.
constexpr int64_t kPassTime = kUsed + 60;
constexpr int64_t kIdleLimitSeconds = 1200;

using Clock = std::chrono::steady_clock;

std::string Cookie(size_t index, size_t prefixBytes) {
  return std::string(prefixBytes, 'p') + "pk=" + BenchName(index);
}

struct FilledTable {
  FilledTable(size_t collections, size_t prefixBytes) {
    cookies.reserve(collections);
    for (size_t i = 0; i < collections; ++i) {
      cookies.push_back(Cookie(i, prefixBytes));
      table.AcquireOrCreate(cookies.back(), kUsed).values.reset();
    }
    shared.Start();
  }
  MemoryBudget budget;
  CookieTable table{budget};
  SharedValues shared{budget};
  std::vector<std::string> cookies;
};

// Runs `work` while another thread resolves cookies of `filled` one after
// another; returns the longest resolution, in microseconds.
template <typename Work>
double LongestWaitBehind(FilledTable& filled, Work work) {
  std::atomic<bool> started{false};
  std::atomic<bool> done{false};
  Clock::duration longest{};
  std::thread request([&] {
    ScatteredIndex index(filled.cookies.size());
    started = true;
    while (!done.load(std::memory_order_relaxed)) {
      const auto start = Clock::now();
      filled.table.Acquire(filled.cookies[index.Next()], kUsed).reset();
      longest = std::max(longest, Clock::now() - start);
    }
  });
  while (!started) std::this_thread::yield();
  work();
  done = true;
  request.join();
  return std::chrono::duration<double, std::micro>(longest).count();
}

void ReportPass(benchmark::State& state, FilledTable& filled,
                const std::function<void()>& pass) {
  Clock::time_point start;
  Clock::time_point end;
  const double wait = LongestWaitBehind(filled, [&] {
    start = Clock::now();
    pass();
    end = Clock::now();
  });
  state.SetIterationTime(std::chrono::duration<double>(end - start).count());
  state.counters["longest_wait_us"] = wait;
}

void BM_RequestBehindIdlePass(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    FilledTable filled(state.range(0), state.range(1));
    state.ResumeTiming();
    ReportPass(state, filled, [&] {
      DropIdleCollections(kPassTime, kIdleLimitSeconds, filled.table,
                          filled.shared);
    });
  }
}

void BM_RequestBehindExpiryPass(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    FilledTable filled(state.range(0), state.range(1));
    state.ResumeTiming();
    ReportPass(state, filled, [&] {
      DropExpiredValues(kPassTime, filled.table, filled.shared);
    });
  }
}

// The insert that grows the table: filled to one entry short of its growth
// (an index of 2^k - 1 slots grows when 7/8 of them are in use), then new
// cookies are entered until it has grown.
void BM_RequestBehindTableGrowth(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    FilledTable filled(state.range(0), state.range(1));
    state.ResumeTiming();
    ReportPass(state, filled, [&] {
      for (size_t i = 0; i < 64; ++i) {
        filled.table
            .AcquireOrCreate(Cookie(state.range(0) + i, state.range(1)), kUsed)
            .values.reset();
      }
    });
  }
}

#define PASS_SIZES                    \
  ArgNames({"collections", "prefix"}) \
      ->Args({1'000'000, 0})          \
      ->Args({229'000, 990})          \
      ->Args({300'000, 990})          \
      ->Iterations(1)                 \
      ->UseManualTime()               \
      ->Unit(benchmark::kMillisecond)

BENCHMARK(BM_RequestBehindIdlePass)->PASS_SIZES;
BENCHMARK(BM_RequestBehindExpiryPass)->PASS_SIZES;
// An index of 262 143 slots grows once 229 376 are in use (7/8), within
// the 64 entered.
BENCHMARK(BM_RequestBehindTableGrowth)
    ->ArgNames({"collections", "prefix"})
    ->Args({229'376 - 40, 990})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace pendrakel::bench
