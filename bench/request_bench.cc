// Micro-benchmarks of request handling through the in-memory host: the STAT
// report, and whole GET and PUT requests in the method form against a
// collection of a million values.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_names.h"
#include "request/stat_report.h"
#include "tests/test_extension.h"

namespace pendrakel::bench {
namespace {

using testing::FakeRequest;
using testing::TestExtension;

// Values stored before the request benchmarks start.
constexpr size_t kStoredValues = 1'000'000;
// The fake host keeps every body written; a fresh request object every this
// many requests bounds that memory (its set-up is shared by all of them).
constexpr size_t kRequestsPerFake = 4096;

// An extension with kStoredValues values in its shared collection, built on
// first use and kept for the whole run.
struct LoadedExtension {
  LoadedExtension() : names(BenchNames(kStoredValues)) {
    const std::string body(kValueBytes, 'v');
    for (const std::string& name : names) {
      FakeRequest put("PUT", "/" + name);
      put.Body(body);
      ext.Run(put);
    }
  }
  TestExtension ext;
  std::vector<std::string> names;
};

LoadedExtension& Loaded() {
  static LoadedExtension* loaded = new LoadedExtension;  // never freed
  return *loaded;
}

void BM_StatReport(benchmark::State& state) {
  TestExtension ext;
  std::unique_ptr<FakeRequest> stat;
  size_t used = kRequestsPerFake;
  for (auto _ : state) {
    if (used++ == kRequestsPerFake) {
      stat = std::make_unique<FakeRequest>("STAT", "/");
      used = 1;
    }
    SendStatReport(stat->ecb(), ext.budget, ext.counters);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_StatReport);

// "/" + each stored name, in scattered order.
std::vector<std::string> ScatteredPaths(const std::vector<std::string>& names) {
  ScatteredIndex index(names.size());
  std::vector<std::string> paths;
  paths.reserve(names.size());
  for (size_t i = 0; i < names.size(); ++i) {
    paths.push_back("/" + names[index.Next()]);
  }
  return paths;
}

// A whole GET: dispatch, collection, lookup, head and body, through the same
// entry the module's HttpExtensionProc uses. One request object serves many
// requests, its path pointed at the next name each time.
void BM_HandleRequestGet(benchmark::State& state) {
  LoadedExtension& loaded = Loaded();
  const std::vector<std::string> paths = ScatteredPaths(loaded.names);
  std::unique_ptr<FakeRequest> get;
  size_t used = kRequestsPerFake;
  size_t next = 0;
  for (auto _ : state) {
    if (used++ == kRequestsPerFake) {
      get = std::make_unique<FakeRequest>("GET", "/");
      used = 1;
    }
    get->ecb()->lpszPathInfo = const_cast<char*>(paths[next].c_str());
    next = next + 1 == paths.size() ? 0 : next + 1;
    loaded.ext.Run(*get);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_HandleRequestGet);
BENCHMARK(BM_HandleRequestGet)->Threads(2)->UseRealTime();

// A whole replacing PUT with its 100-byte body already preloaded (the host
// never has to be asked for more).
void BM_HandleRequestPut(benchmark::State& state) {
  LoadedExtension& loaded = Loaded();
  const std::vector<std::string> paths = ScatteredPaths(loaded.names);
  FakeRequest put("PUT", "/");
  put.Body(std::string(kValueBytes, 'w'));
  size_t next = 0;
  for (auto _ : state) {
    put.ecb()->lpszPathInfo = const_cast<char*>(paths[next].c_str());
    next = next + 1 == paths.size() ? 0 : next + 1;
    loaded.ext.Run(put);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_HandleRequestPut);

}  // namespace
}  // namespace pendrakel::bench
