// Micro-benchmark of the last release of a collection of a million values,
// as a request makes it when a collector pass has dropped the collection
// from the table meanwhile: destroyed on the releasing thread (Arg 0) or
// handed to the lazy free (Arg 1), whose queue the idle collector destroys.
// Only the release is timed (by hand, as wall time); building the
// collection and destroying it after a hand-over are not.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <string>

#include "bench/bench_names.h"
#include "store/lazy_free.h"
#include "store/memory_budget.h"
#include "store/value.h"
#include "store/value_ref.h"
#include "store/values.h"
#include "store/values_ref.h"

namespace pendrakel::bench {
namespace {

constexpr size_t kReleasedEntries = 1'000'000;

ValuesRef FilledCollection(MemoryBudget& budget, LazyFree& lazyFree) {
  ValuesRef values = Values::Create(budget, &lazyFree);
  for (size_t i = 0; i < kReleasedEntries; ++i) {
    ValueRef value = Value::Create(BenchName(i), "", kValueBytes, 0, budget);
    std::memset(value->data(), 'v', kValueBytes);
    values->Put(value);
  }
  return values;
}

void BM_ReleaseLargeCollection(benchmark::State& state) {
  const bool lazy = state.range(0) != 0;
  for (auto _ : state) {
    MemoryBudget budget;
    LazyFree lazyFree;
    if (lazy && !lazyFree.Start()) state.SkipWithError("no lazy free");
    ValuesRef last = FilledCollection(budget, lazyFree);
    const auto start = std::chrono::steady_clock::now();
    last.reset();
    const auto end = std::chrono::steady_clock::now();
    state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    lazyFree.Stop();  // the destruction, when handed over, ends here
  }
}
BENCHMARK(BM_ReleaseLargeCollection)
    ->ArgName("lazy")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace pendrakel::bench
