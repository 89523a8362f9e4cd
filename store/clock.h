// The system clock in whole seconds since 1970-01-01 00:00 UTC, the one time
// base of the store (request times, expiry, last access).
#ifndef PENDRAKEL_STORE_CLOCK_H_
#define PENDRAKEL_STORE_CLOCK_H_

#include <chrono>
#include <cstdint>

namespace pendrakel {

// Where a set of the extension's objects reads the time: SystemSeconds, or
// a test's own clock.
using SecondsSource = int64_t (*)();

inline int64_t SystemSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace pendrakel

#endif  // PENDRAKEL_STORE_CLOCK_H_
