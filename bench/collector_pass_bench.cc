// How long a request waits behind a collector pass, and behind the growth
// of the cookie table: a second thread keeps resolving cookies of a full
// table while the pass (or the inserts that grow the table) run, and the
// longest of those resolutions is reported as `longest_wait_us` (wall
// time), and as `unpreempted_us` among the resolutions during which the
// scheduler did not give the thread's core to another process, which a
// machine shared with other work does every few milliseconds. The control,
// BM_RequestWithoutPass, shows what the machine adds with no pass at all.
// The pass itself is timed as the iteration.
//
// Tables: 1 000 000 short cookies, and 229 000 or 300 000 cookies that share
// a 990-byte prefix (what a browser sends for a busy site), where sorting or
// copying keys costs most. Every collection was used at the same second, so
// the idle pass finds none idle, as in most minutes. And one collection of
// 1 000 000 values, half of them expired, read while the expiry pass walks
// it.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_names.h"
#include "store/collectors.h"
#include "store/cookie_table.h"
#include "store/memory_budget.h"
#include "store/shared_values.h"
#include "store/value.h"
#include "store/value_ref.h"
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

// Involuntary context switches of the calling thread so far: the scheduler
// took its core away (another process's turn), as opposed to a wait for a
// lock.
long Preemptions() {
  rusage usage{};
  getrusage(RUSAGE_THREAD, &usage);
  return usage.ru_nivcsw;
}

struct Waits {
  double longestUs = 0;  // the longest resolution
  // The longest one during which the scheduler did not take the resolving
  // thread's core away: what the pass made it wait, less the machine's own
  // delays (another process running on a shared core).
  double longestUnpreemptedUs = 0;
};

// Runs `work` while another thread makes requests (`request(i)`, the i-th
// one) one after another, and times each.
template <typename Request, typename Work>
Waits WaitsBehind(Request request, Work work) {
  std::atomic<bool> started{false};
  std::atomic<bool> done{false};
  Clock::duration longest{};
  Clock::duration longestUnpreempted{};
  std::thread requests([&] {
    started = true;
    for (size_t i = 0; !done.load(std::memory_order_relaxed); ++i) {
      const long preempted = Preemptions();
      const auto start = Clock::now();
      request(i);
      const auto took = Clock::now() - start;
      longest = std::max(longest, took);
      if (Preemptions() == preempted) {
        longestUnpreempted = std::max(longestUnpreempted, took);
      }
    }
  });
  while (!started) std::this_thread::yield();
  work();
  done = true;
  requests.join();
  using Micro = std::chrono::duration<double, std::micro>;
  return {Micro(longest).count(), Micro(longestUnpreempted).count()};
}

// Times `pass` as the iteration while `request` runs beside it, and reports
// the waits.
template <typename Request, typename Pass>
void TimeIteration(benchmark::State& state, Request request, Pass pass) {
  Clock::time_point start;
  Clock::time_point end;
  const Waits waits = WaitsBehind(request, [&] {
    start = Clock::now();
    pass();
    end = Clock::now();
  });
  state.SetIterationTime(std::chrono::duration<double>(end - start).count());
  state.counters["longest_wait_us"] = waits.longestUs;
  state.counters["unpreempted_us"] = waits.longestUnpreemptedUs;
}

// For each iteration, fills a table of state.range(0) cookies with
// state.range(1)-byte prefixes, then times `pass` on it (given the table)
// and reports the waits beside it.
template <typename Pass>
void TimeBehind(benchmark::State& state, Pass pass) {
  for (auto _ : state) {
    state.PauseTiming();
    FilledTable filled(state.range(0), state.range(1));
    ScatteredIndex index(filled.cookies.size());
    state.ResumeTiming();
    TimeIteration(
        state,
        [&](size_t) {
          filled.table.Acquire(filled.cookies[index.Next()], kUsed).reset();
        },
        [&] { pass(filled); });
  }
}

void BM_RequestBehindIdlePass(benchmark::State& state) {
  TimeBehind(state, [](FilledTable& filled) {
    DropIdleCollections(kPassTime, kIdleLimitSeconds, filled.table,
                        filled.shared);
  });
}

void BM_RequestBehindExpiryPass(benchmark::State& state) {
  TimeBehind(state, [](FilledTable& filled) {
    DropExpiredValues(kPassTime, filled.table, filled.shared);
  });
}

// One collection of state.range(0) values, every other one expired (the
// shared collection of a store whose clients send no cookie): reads of its
// live values go on while the pass drops the others.
void BM_ReadBehindExpiryOfOneCollection(benchmark::State& state) {
  const size_t count = state.range(0);
  for (auto _ : state) {
    state.PauseTiming();
    MemoryBudget budget;
    CookieTable table{budget};
    SharedValues shared{budget};
    shared.Start();
    ValuesRef values = shared.AcquireUntouched();
    const std::vector<std::string> names = BenchNames(count);
    for (size_t i = 0; i < count; ++i) {
      const int64_t expiry = i % 2 ? kUsed : 0;
      values->Put(Value::Create(names[i], "", kValueBytes, expiry, budget));
    }
    ScatteredIndex index(count / 2);
    state.ResumeTiming();
    TimeIteration(
        state,
        [&](size_t) {
          values->Get(names[2 * index.Next()], kPassTime).value.reset();
        },
        [&] { DropExpiredValues(kPassTime, table, shared); });
    state.PauseTiming();
    values.reset();
    shared.Stop();
    state.ResumeTiming();
  }
}

// The insert that grows the table: filled to just short of its growth (an
// index of 2^k - 1 slots grows when 7/8 of them are in use), then new
// cookies are entered until it has grown.
void BM_RequestBehindTableGrowth(benchmark::State& state) {
  TimeBehind(state, [&state](FilledTable& filled) {
    for (size_t i = 0; i < 64; ++i) {
      filled.table
          .AcquireOrCreate(Cookie(state.range(0) + i, state.range(1)), kUsed)
          .values.reset();
    }
  });
}

// The control: the same requests while no pass runs, for as long as a
// pass takes, so that the waits the machine itself adds show.
void BM_RequestWithoutPass(benchmark::State& state) {
  TimeBehind(state, [](FilledTable&) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  });
}

#define PASS_SIZES                    \
  ArgNames({"collections", "prefix"}) \
      ->Args({1'000'000, 0})          \
      ->Args({229'000, 990})          \
      ->Args({300'000, 990})          \
      ->Iterations(1)                 \
      ->UseManualTime()               \
      ->Unit(benchmark::kMillisecond)

BENCHMARK(BM_RequestWithoutPass)->PASS_SIZES;
BENCHMARK(BM_RequestBehindIdlePass)->PASS_SIZES;
BENCHMARK(BM_RequestBehindExpiryPass)->PASS_SIZES;
BENCHMARK(BM_ReadBehindExpiryOfOneCollection)
    ->ArgNames({"values"})
    ->Arg(1'000'000)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
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
