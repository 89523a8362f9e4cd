#include "persist/store_loader.h"

#include <cstring>
#include <utility>

#include "store/cookie_table.h"
#include "store/shared_values.h"
#include "store/value.h"
#include "store/value_ref.h"
#include "store/values.h"

namespace pendrakel {

bool StoreLoader::NewCollection(uint64_t id) {
  ValuesRef values = Values::Create(budget_, &lazyFree_);
  if (!values) return false;
  building_.insert_or_assign(id, std::move(values));
  return true;
}

bool StoreLoader::Put(uint64_t id, const PutRecord& put) {
  const auto it = building_.find(id);
  if (it == building_.end()) return true;
  if (put.data.size() > UINT32_MAX) return false;
  ValueRef value = Value::Create(put.name, put.contentType,
                                 static_cast<uint32_t>(put.data.size()),
                                 put.expiry, budget_);
  if (!value) return false;
  if (!put.data.empty())
    std::memcpy(value->data(), put.data.data(), put.data.size());
  const Values::PutOutcome outcome = it->second->Put(value);
  if (outcome == Values::PutOutcome::kCreated) ++values_;
  return outcome != Values::PutOutcome::kNoMemory;
}

void StoreLoader::Remove(uint64_t id, std::string_view name) {
  const auto it = building_.find(id);
  if (it == building_.end()) return;
  if (it->second->Remove(name) == Values::RemoveOutcome::kRemoved) --values_;
}

void StoreLoader::DropCollection(uint64_t id) {
  const auto it = building_.find(id);
  if (it == building_.end()) return;
  values_ -= it->second->size();
  building_.erase(it);
}

ValuesRef StoreLoader::Take(uint64_t id, int64_t lastAccess) {
  const auto it = building_.find(id);
  if (it == building_.end()) return {};
  ValuesRef values = std::move(it->second);
  building_.erase(it);
  values->Touch(lastAccess);
  values->RecordChanges(changes_, id);
  return values;
}

bool StoreLoader::PublishCookie(uint64_t id, std::string_view cookie,
                                int64_t lastAccess) {
  ValuesRef values = Take(id, lastAccess);
  if (!values) return true;
  // The table records nothing yet: it records changes only once loading is
  // done.
  return cookies_.Insert(cookie, values) ==
         CookieTable::InsertOutcome::kInserted;
}

bool StoreLoader::PublishShared(uint64_t id, int64_t lastAccess) {
  ValuesRef values = Take(id, lastAccess);
  if (values) shared_.Install(std::move(values));
  return true;
}

}  // namespace pendrakel
