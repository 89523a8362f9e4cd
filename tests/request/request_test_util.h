// Helpers for request tests: requests in either form, and counter deltas.
#ifndef PENDRAKEL_TESTS_REQUEST_REQUEST_TEST_UTIL_H_
#define PENDRAKEL_TESTS_REQUEST_REQUEST_TEST_UTIL_H_

#include <map>
#include <memory>
#include <set>
#include <string>

#include "tests/test_extension.h"

namespace pendrakel::testing {

enum class Op { kGet, kHead, kSet, kDel, kNop };

// A request for `op` on `name`: in the command form a POST to the command
// name with the name in X-Param-Name, in the method form the method with the
// name as the path.
inline std::unique_ptr<FakeRequest> MakeRequest(bool commandForm, Op op,
                                                const std::string& name,
                                                const std::string& body = "") {
  static const char* const kCommands[] = {"/get", "/get", "/set", "/del",
                                          "/nop"};
  static const char* const kMethods[] = {"GET", "HEAD", "PUT", "DELETE",
                                         "NOOP"};
  const int index = static_cast<int>(op);
  auto request =
      commandForm ? std::make_unique<FakeRequest>("POST", kCommands[index])
                  : std::make_unique<FakeRequest>(kMethods[index], "/" + name);
  if (commandForm) request->Header("X-Param-Name", name);
  request->Body(body);
  return request;
}

// Every counter by its report name.
inline std::map<std::string, uint32_t> CounterValues(const Counters& c) {
  std::map<std::string, uint32_t> values;
  for (const CounterInfo& counter : kCounterInfo) {
    values[std::string(counter.name)] = c.Read(counter.counter);
  }
  return values;
}

// The names of the counters that rose since `before`, each once per rise.
inline std::multiset<std::string> CountersRisen(
    const std::map<std::string, uint32_t>& before, const Counters& now) {
  std::multiset<std::string> risen;
  for (const auto& [name, value] : CounterValues(now)) {
    for (uint32_t i = before.at(name); i != value; ++i) risen.insert(name);
  }
  return risen;
}

}  // namespace pendrakel::testing

#endif  // PENDRAKEL_TESTS_REQUEST_REQUEST_TEST_UTIL_H_
