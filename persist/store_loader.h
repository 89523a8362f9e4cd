// StoreLoader: the RebuildTarget of start-up, which builds the collections
// read from the store's files and enters them into the store's cookie table
// and shared pointer.
//
// Loading counts nothing in the counters and records nothing: a collection
// built here records its changes on the queue only once it is published,
// under the id it has in the files. Every value is charged to the budget
// as a request's would be, so the budget's maximum bounds the load.
//
// Ownership: holds a handle on each collection until it is published or
// dropped; the rest goes with the loader. Threads: start-up only.
#ifndef PENDRAKEL_PERSIST_STORE_LOADER_H_
#define PENDRAKEL_PERSIST_STORE_LOADER_H_

#include <cstdint>
#include <string_view>

#include "absl/container/flat_hash_map.h"
#include "persist/rebuild.h"
#include "store/values_ref.h"

namespace pendrakel {

class ChangeQueue;
class CookieTable;
class LazyFree;
class MemoryBudget;
class SharedValues;

class StoreLoader : public RebuildTarget {
 public:
  StoreLoader(MemoryBudget& budget, LazyFree& lazyFree, CookieTable& cookies,
              SharedValues& shared, ChangeQueue& changes)
      : budget_(budget),
        lazyFree_(lazyFree),
        cookies_(cookies),
        shared_(shared),
        changes_(changes) {}
  StoreLoader(const StoreLoader&) = delete;
  StoreLoader& operator=(const StoreLoader&) = delete;

  bool NewCollection(uint64_t id) override;
  bool Put(uint64_t id, const PutRecord& put) override;
  void Remove(uint64_t id, std::string_view name) override;
  void DropCollection(uint64_t id) override;
  bool PublishCookie(uint64_t id, std::string_view cookie,
                     int64_t lastAccess) override;
  bool PublishShared(uint64_t id, int64_t lastAccess) override;

  // Values loaded so far (a replaced one counts once).
  uint64_t values() const { return values_; }

 private:
  // The collection of `id`, to be published: touched at `lastAccess` and
  // recording its changes; empty when it is not known.
  ValuesRef Take(uint64_t id, int64_t lastAccess);

  MemoryBudget& budget_;
  LazyFree& lazyFree_;
  CookieTable& cookies_;
  SharedValues& shared_;
  ChangeQueue& changes_;
  absl::flat_hash_map<uint64_t, ValuesRef> building_;
  uint64_t values_ = 0;
};

}  // namespace pendrakel

#endif  // PENDRAKEL_PERSIST_STORE_LOADER_H_
