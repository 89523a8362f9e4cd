// The idleness test shared by the cookie table and the shared collection.
#ifndef PENDRAKEL_STORE_IDLE_H_
#define PENDRAKEL_STORE_IDLE_H_

#include <cstdint>
#include <limits>

namespace pendrakel {

// A collection last resolved at `lastAccess` is idle at `now` under an idle
// limit of `limit` seconds when it has been resolved at all (lastAccess is
// not 0) and lastAccess <= now - limit. A negative limit puts the threshold
// after now; now - limit is worked out without overflow.
inline bool IsIdle(int64_t lastAccess, int64_t now, int64_t limit) {
  if (lastAccess == 0) return false;
  int64_t threshold;
  if (__builtin_sub_overflow(now, limit, &threshold)) {
    // Overflows upwards only for a negative limit, downwards for a positive.
    return limit < 0;
  }
  return lastAccess <= threshold;
}

}  // namespace pendrakel

#endif  // PENDRAKEL_STORE_IDLE_H_
