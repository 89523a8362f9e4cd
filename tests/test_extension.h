// TestExtension: a private set of the extension's process-wide objects with
// a clock the test sets, for driving requests through the fake host.
#ifndef PENDRAKEL_TESTS_TEST_EXTENSION_H_
#define PENDRAKEL_TESTS_TEST_EXTENSION_H_

#include <atomic>
#include <cstdint>

#include "request/dispatch.h"
#include "request/extension_objects.h"
#include "tests/fake_host.h"

namespace pendrakel::testing {

// The time every TestExtension reads; tests set it.
inline std::atomic<int64_t> gTestNow{1'700'000'000};
inline int64_t TestClock() { return gTestNow.load(); }

struct TestExtension : ExtensionObjects {
  TestExtension() : ExtensionObjects(TestClock) { shared.Start(); }

  // Runs one request and returns it for inspection.
  FakeRequest& Run(FakeRequest& request) {
    HandleRequest(state, request.ecb());
    return request;
  }
  uint32_t Counter(Counter field) const { return counters.Read(field); }
};

}  // namespace pendrakel::testing

#endif  // PENDRAKEL_TESTS_TEST_EXTENSION_H_
