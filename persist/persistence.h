// Persistence: the store's files as the running store sees them. Start
// opens and locks the folder, loads what it holds into the store, makes the
// store record its changes from then on and starts the journal's writer;
// Stop writes what is left and ends it (persist/README.md).
//
// Without the Persist setting none of this exists: the store's objects keep
// null change queues and no file or thread is touched.
//
// Ownership: owns the change queue, the writer and the folder; the store's
// objects are the caller's and must outlive it (their collections keep
// pointing at the queue, so it lives until the store is torn down).
// Threads: Start and Stop on the one thread of start-up and shut-down.
#ifndef PENDRAKEL_PERSIST_PERSISTENCE_H_
#define PENDRAKEL_PERSIST_PERSISTENCE_H_

#include <cstdint>
#include <memory>
#include <string>

#include "persist/journal.h"
#include "persist/sync_mode.h"
#include "store/clock.h"

namespace pendrakel {

class ChangeQueue;
class CookieTable;
class LazyFree;
class MemoryBudget;
class SharedValues;
class StoreView;

// The store's objects persistence works on.
struct PersistedStore {
  MemoryBudget& budget;
  LazyFree& lazyFree;
  CookieTable& cookies;
  SharedValues& shared;
  SecondsSource clock = SystemSeconds;
};

struct PersistOptions {
  std::string folder;
  SyncMode sync = SyncMode::kSecond;
  int64_t idleLimit = 0;   // seconds, as the idle collector takes it
  uint64_t memoryMax = 0;  // bytes of values; 0: no limit
  // Journal bytes from which it may be rewritten as a snapshot.
  uint64_t compactMinBytes = kCompactMinBytes;
};

// While loading, the values may pass the maximum by what the journal's
// later records undo (values replaced, deleted or dropped further on); the
// journal is rewritten once it passes `compactMinBytes` and the live data,
// so a load stops once the values pass twice the maximum and that much.
// 0 (no limit) for no maximum.
uint64_t LoadingMax(uint64_t memoryMax, uint64_t compactMinBytes);

class Persistence {
 public:
  Persistence();
  // Stops, if Stop was not called.
  ~Persistence();
  Persistence(const Persistence&) = delete;
  Persistence& operator=(const Persistence&) = delete;

  // Loads `options.folder` into `store`, which is fresh (only the shared
  // collection of start-up in it), and starts recording. False, with `why`
  // in one line naming the folder or file and what is wrong, when the
  // folder cannot be used, its files are damaged or do not fit the memory
  // maximum; nothing on disk is changed then. The store may point at the
  // queue either way: keep this object until the store is torn down.
  // REQUIRES: start-up, called once, before any request and before the
  // collectors run.
  bool Start(const PersistOptions& options, const PersistedStore& store,
             std::string& why);
  // Writes and syncs what is queued and every collection's last access,
  // and ends the writer. REQUIRES: no request runs any more; the
  // collectors are stopped.
  void Stop();

 private:
  std::unique_ptr<ChangeQueue> changes_;  // made by Start
  std::unique_ptr<StoreView> view_;
  std::unique_ptr<Journal> journal_;
};

}  // namespace pendrakel

#endif  // PENDRAKEL_PERSIST_PERSISTENCE_H_
