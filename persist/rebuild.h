// Rebuild: what the records of the folder mean, applied in file order to a
// RebuildTarget that holds the collections being loaded (the store, or a
// test's model), then published: the collections still alive enter the
// store under their cookies or as the shared one (persist/README.md,
// "Loading").
//
// The rules: ids are unique for the folder's life. A collection record for
// a known id only moves its last access forward; a cookie or the shared
// role named by two ids keeps the newer one, and the older collection is
// dropped. Records for collections not (or no longer) known are skipped: a
// request that held a dropped collection may still have written to it. A
// put whose value has expired at `now` removes the name instead. After the
// last record, collections idle at `now` are dropped, not published.
//
// Threads: start-up only.
#ifndef PENDRAKEL_PERSIST_REBUILD_H_
#define PENDRAKEL_PERSIST_REBUILD_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "absl/container/flat_hash_map.h"
#include "persist/format.h"
#include "persist/record_reader.h"

namespace pendrakel {

// Where the loaded collections are built, named by their ids.
class RebuildTarget {
 public:
  virtual ~RebuildTarget() = default;
  // Each false: memory for it cannot be had.
  virtual bool NewCollection(uint64_t id) = 0;
  virtual bool Put(uint64_t id, const PutRecord& put) = 0;
  virtual void Remove(uint64_t id, std::string_view name) = 0;
  virtual void DropCollection(uint64_t id) = 0;
  // Enters the collection into the store, last resolved at `lastAccess`.
  virtual bool PublishCookie(uint64_t id, std::string_view cookie,
                             int64_t lastAccess) = 0;
  virtual bool PublishShared(uint64_t id, int64_t lastAccess) = 0;
};

class Rebuild {
 public:
  // `idleLimit` in seconds, 0 for none, as the idle collector takes it.
  Rebuild(RebuildTarget& target, int64_t now, int64_t idleLimit)
      : target_(target), now_(now), idleLimit_(idleLimit) {}
  Rebuild(const Rebuild&) = delete;
  Rebuild& operator=(const Rebuild&) = delete;

  // Applies one record (the ApplyRecord of ReadFolder): an empty text, or
  // what is wrong with it.
  std::string Apply(FileKind kind, const Record& record);
  // Publishes every collection still alive and not idle. False with `why`
  // when memory runs out.
  bool Publish(std::string& why);

  uint64_t highestId() const { return highestId_; }
  uint64_t collections() const { return published_; }
  uint64_t values() const { return values_; }

 private:
  struct Known {
    std::string cookie;  // empty for the shared collection
    int64_t lastAccess = 0;
    bool shared = false;
  };

  std::string ApplyCollection(const CollectionRecord& record);
  void Drop(uint64_t id);
  std::string ApplyPut(const PutRecord& put);
  std::string ApplyEnd(const EndRecord& end);

  RebuildTarget& target_;
  const int64_t now_;
  const int64_t idleLimit_;
  absl::flat_hash_map<uint64_t, Known> known_;
  absl::flat_hash_map<std::string, uint64_t> byCookie_;
  uint64_t sharedId_ = 0;  // 0: no shared collection yet
  uint64_t highestId_ = 0;
  // What the snapshot read so far holds, for its end record.
  uint64_t snapshotCollections_ = 0;
  uint64_t snapshotValues_ = 0;
  uint64_t values_ = 0;  // puts applied
  uint64_t published_ = 0;
};

}  // namespace pendrakel

#endif  // PENDRAKEL_PERSIST_REBUILD_H_
