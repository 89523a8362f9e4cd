// Micro-benchmarks of the store: Values::Get and Values::Put in a collection
// of a million entries, and CookieTable::Acquire from one and two threads.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_names.h"
#include "store/cookie_table.h"
#include "store/memory_budget.h"
#include "store/value.h"
#include "store/value_ref.h"
#include "store/values.h"
#include "store/values_ref.h"

namespace pendrakel::bench {
namespace {

// Entries in the collection the Values benchmarks work on.
constexpr size_t kCollectionEntries = 1'000'000;
// Cookies in the table the CookieTable benchmark works on.
constexpr size_t kCookies = 10'000;
// Any fixed request time: no value in these benchmarks expires.
constexpr int64_t kNow = 1'700'000'000;

ValueRef MakeValue(const std::string& name, MemoryBudget& budget) {
  ValueRef value = Value::Create(name, "", kValueBytes, 0, budget);
  if (value) std::memset(value->data(), 'v', kValueBytes);
  return value;
}

// One collection of kCollectionEntries values, built on first use and kept
// for the whole run (shared by every benchmark and thread).
struct FullCollection {
  FullCollection() : names(BenchNames(kCollectionEntries)) {
    values = Values::Create(budget);
    for (const std::string& name : names) {
      ValueRef value = MakeValue(name, budget);
      values->Put(value);
      value.reset();
    }
  }
  MemoryBudget budget;
  std::vector<std::string> names;
  ValuesRef values;
};

FullCollection& Collection() {
  static FullCollection* collection = new FullCollection;  // never freed
  return *collection;
}

void BM_ValuesGet(benchmark::State& state) {
  FullCollection& full = Collection();
  ScatteredIndex index(full.names.size());
  for (auto _ : state) {
    Values::GetResult found = full.values->Get(full.names[index.Next()], kNow);
    benchmark::DoNotOptimize(found.value->data());
    found.value.reset();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ValuesGet);

// A replacing Put as a request does it: a new value is made, filled, stored
// under an existing name, and the request's reference dropped; the value it
// replaces is freed.
void BM_ValuesPutReplace(benchmark::State& state) {
  FullCollection& full = Collection();
  ScatteredIndex index(full.names.size());
  for (auto _ : state) {
    ValueRef value = MakeValue(full.names[index.Next()], full.budget);
    benchmark::DoNotOptimize(full.values->Put(value));
    value.reset();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ValuesPutReplace);

// Both Values benchmarks again from two threads at once, contending for the
// collection's one lock.
BENCHMARK(BM_ValuesGet)->Threads(2)->UseRealTime();
BENCHMARK(BM_ValuesPutReplace)->Threads(2)->UseRealTime();

struct FullCookieTable {
  FullCookieTable() : cookies(kCookies) {
    for (size_t i = 0; i < kCookies; ++i) {
      cookies[i] = "pk=" + BenchName(i) + BenchName(kCookies - i);
      table.AcquireOrCreate(cookies[i], kNow).values.reset();
    }
  }
  MemoryBudget budget;
  CookieTable table{budget};
  std::vector<std::string> cookies;
};

FullCookieTable& Cookies() {
  static FullCookieTable* table = new FullCookieTable;  // never freed
  return *table;
}

// The cookie lookup of every request that carries a cookie.
void BM_CookieTableAcquire(benchmark::State& state) {
  FullCookieTable& full = Cookies();
  ScatteredIndex index(full.cookies.size());
  for (size_t i = 0; i < static_cast<size_t>(state.thread_index()); ++i) {
    index.Next();  // threads start at different cookies
  }
  for (auto _ : state) {
    ValuesRef values = full.table.Acquire(full.cookies[index.Next()], kNow);
    benchmark::DoNotOptimize(values);
    values.reset();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CookieTableAcquire)->Threads(1)->Threads(2)->UseRealTime();

}  // namespace
}  // namespace pendrakel::bench
