// ExtensionObjects: one whole set of the extension's process-wide objects, in
// the order they live. The module has one with static storage; each test
// makes its own with a clock of its choosing.
//
// Members are built in declaration order and destroyed in reverse, which is
// the order the store needs: the memory budget is built first and destroyed
// last, after the cookie table, the shared collection and the collector
// threads, all of which give bytes back to it on their way out. The lazy
// free's queue comes next to the budget: whatever it still holds is
// destroyed after every collection has been released and before the budget
// goes. The collectors are stopped (their threads joined, the lazy free's
// queue emptied) before anything they use is destroyed. Persistence, made
// by start-up only when the settings ask for it, comes after the shared
// collection and before the collectors: the collectors stop recording
// before it goes, and it goes (its writer stopped, its queue released)
// before the collections that point at its queue. `state` names the others
// for request handling.
#ifndef PENDRAKEL_REQUEST_EXTENSION_OBJECTS_H_
#define PENDRAKEL_REQUEST_EXTENSION_OBJECTS_H_

#include <memory>

#include "config/settings.h"
#include "persist/persistence.h"
#include "request/counters.h"
#include "request/extension_state.h"
#include "store/clock.h"
#include "store/collectors.h"
#include "store/cookie_table.h"
#include "store/lazy_free.h"
#include "store/memory_budget.h"
#include "store/shared_values.h"

namespace pendrakel {

struct ExtensionObjects {
  explicit ExtensionObjects(SecondsSource clock = SystemSeconds)
      : state{settings, counters, budget, lazyFree, cookies, shared, clock} {}
  ExtensionObjects(const ExtensionObjects&) = delete;
  ExtensionObjects& operator=(const ExtensionObjects&) = delete;

  MemoryBudget budget;  // first built, last destroyed
  LazyFree lazyFree;    // takes collections while the collectors run
  Settings settings;    // defaults until start-up reads the file
  Counters counters;    // all zero at load
  // Its collections are released at unload.
  CookieTable cookies{budget, &lazyFree};
  // Made by start-up, released by shut-down.
  SharedValues shared{budget, &lazyFree};
  // The store's files; only with the Persist setting.
  std::unique_ptr<Persistence> persistence;
  Collectors collectors;  // run between start-up and shut-down
  ExtensionState state;
};

}  // namespace pendrakel

#endif  // PENDRAKEL_REQUEST_EXTENSION_OBJECTS_H_
