// The module's process-wide objects and the order in which they live.
//
// They are members of one object with static storage, built when the module
// is loaded and destroyed when it is unloaded. Members are built in
// declaration order and destroyed in reverse, which is the order the store
// needs: the memory budget is built first and destroyed last, after the
// cookie table, the shared collection and the collector threads, all of
// which give bytes back to it on their way out. The collectors are stopped
// (their threads joined) before anything they use is destroyed.
#ifndef PENDRAKEL_HOST_MODULE_STATE_H_
#define PENDRAKEL_HOST_MODULE_STATE_H_

#include <string>

#include "config/settings.h"
#include "request/counters.h"
#include "request/extension_state.h"
#include "store/collectors.h"
#include "store/cookie_table.h"
#include "store/memory_budget.h"
#include "store/shared_values.h"

namespace pendrakel {

struct ModuleState {
  MemoryBudget budget;          // first built, last destroyed
  Settings settings;            // defaults until start-up reads the file
  Counters counters;            // all zero at load
  CookieTable cookies{budget};  // its collections are released at unload
  SharedValues shared{budget};  // made by start-up, released by shut-down
  Collectors collectors;        // run between start-up and shut-down
  ExtensionState state{settings, counters, budget, cookies, shared};
};

// The one instance of this module.
ModuleState& Module();

// The settings file beside this module's own file.
std::string SettingsPath();

}  // namespace pendrakel

#endif  // PENDRAKEL_HOST_MODULE_STATE_H_
