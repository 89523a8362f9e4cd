#include "request/collector_passes.h"

#include "config/settings.h"
#include "request/counters.h"
#include "request/extension_state.h"
#include "store/collectors.h"

namespace pendrakel {

size_t DropAndCountIdleCollections(int64_t now, int64_t idleLimit,
                                   CookieTable& cookies, SharedValues& shared,
                                   Counters& counters) {
  const IdleDrop drop = DropIdleCollections(now, idleLimit, cookies, shared);
  const size_t dropped = drop.collections + (drop.sharedRenewed ? 1 : 0);
  counters.Add(Counter::kValuesCollect, static_cast<uint32_t>(dropped));
  if (drop.sharedRenewed) counters.Add(Counter::kValuesCreate);
  return dropped;
}

size_t DropAndCountExpiredValues(int64_t now, CookieTable& cookies,
                                 SharedValues& shared, Counters& counters) {
  const size_t dropped = DropExpiredValues(now, cookies, shared);
  counters.Add(Counter::kValueCollect, static_cast<uint32_t>(dropped));
  return dropped;
}

bool StartCollectors(Collectors& collectors, ExtensionState& state) {
  return collectors.Start(
      [&state] {
        return DropAndCountIdleCollections(
            state.clock(), state.settings.IdleLimit, state.cookies,
            state.shared, state.counters);
      },
      [&state] {
        return DropAndCountExpiredValues(state.clock(), state.cookies,
                                         state.shared, state.counters);
      },
      &state.lazyFree);
}

}  // namespace pendrakel
