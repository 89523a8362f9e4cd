// Helpers for store tests: values filled with known bytes.
#ifndef PENDRAKEL_TESTS_STORE_STORE_TEST_UTIL_H_
#define PENDRAKEL_TESTS_STORE_STORE_TEST_UTIL_H_

#include <cstring>
#include <string>
#include <string_view>

#include "store/memory_budget.h"
#include "store/value.h"
#include "store/value_ref.h"

namespace pendrakel::testing {

// The caller's handle on a complete value named `name` holding `bytes`.
inline ValueRef MakeValue(MemoryBudget& budget, std::string_view name,
                          std::string_view bytes, int64_t expiry = 0) {
  ValueRef value = Value::Create(name, "", static_cast<uint32_t>(bytes.size()),
                                 expiry, budget);
  if (!value) return value;
  if (!bytes.empty()) std::memcpy(value->data(), bytes.data(), bytes.size());
  return value;
}

inline std::string Bytes(const Value& value) {
  return std::string(reinterpret_cast<const char*>(value.data()), value.size());
}

}  // namespace pendrakel::testing

#endif  // PENDRAKEL_TESTS_STORE_STORE_TEST_UTIL_H_
