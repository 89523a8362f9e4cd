// StoreView: the StoreWalker of the running store, its cookie table and its
// shared collection, read by the journal's writer thread.
//
// Ownership: refers to the store's objects, which outlive it. Threads: the
// writer thread only. Every store lock it takes (the cookie table's in
// slices, one collection's per slice of values, the shared pointer's) is
// given up before it returns to the sink, which writes.
#ifndef PENDRAKEL_PERSIST_STORE_VIEW_H_
#define PENDRAKEL_PERSIST_STORE_VIEW_H_

#include <cstdint>
#include <limits>
#include <string_view>
#include <vector>

#include "persist/store_walker.h"
#include "store/clock.h"

namespace pendrakel {

class CookieTable;
class SharedValues;
class Values;

// Seconds before the last touch walk from which last accesses are taken
// again: a request reads its time before it touches, so one that touched
// just after a walk passed it may carry a time a little before the walk.
inline constexpr int64_t kTouchOverlapSeconds = 2;

class StoreView : public StoreWalker {
 public:
  StoreView(CookieTable& cookies, SharedValues& shared, SecondsSource clock)
      : cookies_(cookies), shared_(shared), clock_(clock) {}
  StoreView(const StoreView&) = delete;
  StoreView& operator=(const StoreView&) = delete;

  void AppendTouches(std::vector<TouchRecord>& touches, bool all) override;
  bool Snapshot(SnapshotSink& sink) override;

 private:
  // Adds `values` and its live values at `now` to `sink`; false when the
  // sink gave up.
  bool AddCollection(SnapshotSink& sink, Values& values, CollectionKind kind,
                     std::string_view cookie, int64_t now);
  // Lets the sink write and serve once a slice's worth of records was
  // added since it last did.
  bool MaybePause(SnapshotSink& sink, bool always);

  CookieTable& cookies_;
  SharedValues& shared_;
  const SecondsSource clock_;
  // Last accesses from this time on are appended by the next walk.
  int64_t touchedSince_ = std::numeric_limits<int64_t>::min();
  // The sink's records when it last wrote.
  uint64_t recordsAtPause_ = 0;
};

}  // namespace pendrakel

#endif  // PENDRAKEL_PERSIST_STORE_VIEW_H_
