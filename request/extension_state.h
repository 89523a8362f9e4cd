// ExtensionState: the process-wide objects a request works with, gathered so
// that request handling can be driven against any set of them (the module
// has one; tests make their own).
//
// Ownership: ExtensionState owns nothing; the objects it names outlive every
// request handed to it.
#ifndef PENDRAKEL_REQUEST_EXTENSION_STATE_H_
#define PENDRAKEL_REQUEST_EXTENSION_STATE_H_

#include "request/guid.h"
#include "store/clock.h"

namespace pendrakel {

class CookieTable;
class LazyFree;
class MemoryBudget;
class SharedValues;
class Counters;
struct Settings;

struct ExtensionState {
  const Settings& settings;
  Counters& counters;
  MemoryBudget& budget;
  LazyFree& lazyFree;  // where collections made for requests are destroyed
  CookieTable& cookies;
  SharedValues& shared;
  SecondsSource clock = SystemSeconds;
  GuidSource makeGuid = RandomGuid;
};

}  // namespace pendrakel

#endif  // PENDRAKEL_REQUEST_EXTENSION_STATE_H_
