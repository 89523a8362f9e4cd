// The collector passes as the extension runs them: each store pass followed
// by the counters it moves, and the start of both collector threads.
//
// Counting: ValuesCollect for every collection dropped (the renewed shared
// collection included), ValuesCreate for the shared collection made in its
// place, ValueCollect for every expired value dropped.
#ifndef PENDRAKEL_REQUEST_COLLECTOR_PASSES_H_
#define PENDRAKEL_REQUEST_COLLECTOR_PASSES_H_

#include <cstddef>
#include <cstdint>

namespace pendrakel {

class Collectors;
class CookieTable;
class SharedValues;
class Counters;
struct ExtensionState;

// One counted idle pass at `now`; returns the collections dropped.
size_t DropAndCountIdleCollections(int64_t now, int64_t idleLimit,
                                   CookieTable& cookies, SharedValues& shared,
                                   Counters& counters);

// One counted expiry pass at `now`; returns the values dropped.
size_t DropAndCountExpiredValues(int64_t now, CookieTable& cookies,
                                 SharedValues& shared, Counters& counters);

// Starts both collector threads on `state`, each pass at state.clock() and
// the idle pass under state.settings.IdleLimit, the idle collector also
// destroying what state.lazyFree is handed. False when a thread cannot be
// started.
bool StartCollectors(Collectors& collectors, ExtensionState& state);

}  // namespace pendrakel

#endif  // PENDRAKEL_REQUEST_COLLECTOR_PASSES_H_
