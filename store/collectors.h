// The two background collectors and their threads.
//
// The values collector drops whole collections nobody has resolved for the
// idle limit: it removes them from the cookie table and renews an idle shared
// collection. The value collector drops expired values from every collection.
// One pass of each is a plain function of `now`, so that it can be driven
// directly; Collectors runs them on two threads of its own.
//
// Locks: a pass holds at most one lock at a time (the cookie table lock, one
// Values lock, the shared pointer's lock) and releases, and so frees, only
// after giving it up.
#ifndef PENDRAKEL_STORE_COLLECTORS_H_
#define PENDRAKEL_STORE_COLLECTORS_H_

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>

#include "store/clock.h"

namespace pendrakel {

class CookieTable;
class SharedValues;
struct Counters;
struct Settings;

// Time between the passes of each collector; the sleep comes first.
inline constexpr std::chrono::milliseconds kValuesCollectorPeriod{60'000};
inline constexpr std::chrono::milliseconds kValueCollectorPeriod{300'000};

// One pass of the values collector at `now`. An idle limit of 0 turns it off.
// Returns the number of collections dropped.
size_t CollectIdleValues(int64_t now, int64_t idleLimit, CookieTable& cookies,
                         SharedValues& shared, Counters& counters);

// One pass of the value collector at `now`. Returns the number of values
// dropped.
size_t CollectExpiredValues(int64_t now, CookieTable& cookies,
                            SharedValues& shared, Counters& counters);

// Hands memory the heap keeps after large frees back to the system, so that
// the process shrinks again once collections are dropped.
void ReturnFreedMemory();

// The two collector threads. Start and Stop are called by one thread (the
// extension's start-up and shut-down); the threads read only the objects
// given to Start, which must outlive Stop.
class Collectors {
 public:
  Collectors() = default;
  ~Collectors() { Stop(); }
  Collectors(const Collectors&) = delete;
  Collectors& operator=(const Collectors&) = delete;

  // Starts both threads, the values collector first. False when a thread
  // cannot be started; whatever was started is stopped again.
  bool Start(CookieTable& cookies, SharedValues& shared, Counters& counters,
             const Settings& settings, Clock clock);
  // Signals both threads to stop and waits for them. They stop between
  // passes, never inside one, and a sleeping thread wakes at once. Does
  // nothing when no thread runs.
  void Stop();

 private:
  // Runs `pass` (returning what it dropped) every `period` until stopped,
  // handing memory back after a pass that dropped something.
  template <typename Pass>
  void RunPasses(std::chrono::milliseconds period, Pass pass);
  // Sleeps for `period` or until stopped; false when stopped.
  bool Sleep(std::chrono::milliseconds period);

  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;  // guarded by mutex_
  std::thread valuesCollector_;
  std::thread valueCollector_;
};

}  // namespace pendrakel

#endif  // PENDRAKEL_STORE_COLLECTORS_H_
