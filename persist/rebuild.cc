#include "persist/rebuild.h"

#include <algorithm>

#include "store/idle.h"

namespace pendrakel {

std::string Rebuild::Apply(FileKind kind, const Record& record) {
  switch (record.type) {
    case RecordType::kCollection: {
      CollectionRecord collection;
      if (!ParseCollection(record.payload, collection))
        return "a collection record does not parse";
      if (kind == FileKind::kSnapshot) ++snapshotCollections_;
      return ApplyCollection(collection);
    }
    case RecordType::kDrop: {
      uint64_t id = 0;
      if (!ParseDrop(record.payload, id)) return "a drop record does not parse";
      Drop(id);
      return {};
    }
    case RecordType::kTouch: {
      if (!IsTouchPayload(record.payload))
        return "a touch record does not parse";
      for (size_t i = 0; i < record.payload.size() / kTouchPairBytes; ++i) {
        const TouchRecord touch = TouchPairAt(record.payload, i);
        if (auto it = known_.find(touch.id); it != known_.end())
          it->second.lastAccess =
              std::max(it->second.lastAccess, touch.lastAccess);
      }
      return {};
    }
    case RecordType::kPut: {
      PutRecord put;
      if (!ParsePut(record.payload, put)) return "a put record does not parse";
      if (kind == FileKind::kSnapshot) ++snapshotValues_;
      return ApplyPut(put);
    }
    case RecordType::kRemove: {
      RemoveRecord remove;
      if (!ParseRemove(record.payload, remove))
        return "a remove record does not parse";
      if (known_.contains(remove.collection))
        target_.Remove(remove.collection, remove.name);
      return {};
    }
    case RecordType::kEnd: {
      EndRecord end;
      if (!ParseEnd(record.payload, end)) return "an end record does not parse";
      return ApplyEnd(end);
    }
  }
  return "unknown record type";
}

std::string Rebuild::ApplyCollection(const CollectionRecord& record) {
  if (record.id == 0) return "a collection record names id 0";
  highestId_ = std::max(highestId_, record.id);
  if (auto it = known_.find(record.id); it != known_.end()) {
    it->second.lastAccess = std::max(it->second.lastAccess, record.lastAccess);
    return {};
  }
  const bool shared = record.kind == CollectionKind::kShared;
  // The newer id takes the cookie or the shared role; an older one that
  // turns up after it is not wanted.
  uint64_t* holder = &sharedId_;
  if (!shared) {
    holder =
        &byCookie_.try_emplace(std::string(record.cookie), 0).first->second;
  }
  if (*holder > record.id) return {};
  if (*holder != 0) Drop(*holder);
  if (!target_.NewCollection(record.id)) return "out of memory";
  known_.emplace(record.id,
                 Known{std::string(record.cookie), record.lastAccess, shared});
  if (!shared) {
    byCookie_[std::string(record.cookie)] = record.id;
  } else {
    sharedId_ = record.id;
  }
  return {};
}

void Rebuild::Drop(uint64_t id) {
  auto it = known_.find(id);
  if (it == known_.end()) return;
  if (it->second.shared) {
    if (sharedId_ == id) sharedId_ = 0;
  } else if (auto cookie = byCookie_.find(it->second.cookie);
             cookie != byCookie_.end() && cookie->second == id) {
    byCookie_.erase(cookie);
  }
  known_.erase(it);
  target_.DropCollection(id);
}

std::string Rebuild::ApplyPut(const PutRecord& put) {
  if (!known_.contains(put.collection)) return {};
  if (put.expiry != 0 && now_ >= put.expiry) {
    // Expired while the store was down: it replaced what was there, and is
    // gone itself.
    target_.Remove(put.collection, put.name);
    return {};
  }
  if (!target_.Put(put.collection, put)) return "out of memory";
  ++values_;
  return {};
}

std::string Rebuild::ApplyEnd(const EndRecord& end) {
  if (end.collections == snapshotCollections_ && end.values == snapshotValues_)
    return {};
  return "the end record counts " + std::to_string(end.collections) +
         " collections and " + std::to_string(end.values) +
         " values, the snapshot holds " + std::to_string(snapshotCollections_) +
         " and " + std::to_string(snapshotValues_);
}

bool Rebuild::Publish(std::string& why) {
  for (auto& [id, known] : known_) {
    // A collection idle since before the stop is not served, not even
    // until the next pass of the idle collector.
    if (idleLimit_ != 0 && IsIdle(known.lastAccess, now_, idleLimit_)) {
      target_.DropCollection(id);
      continue;
    }
    const bool published =
        known.shared
            ? target_.PublishShared(id, known.lastAccess)
            : target_.PublishCookie(id, known.cookie, known.lastAccess);
    if (!published) {
      why = "out of memory while entering the collections";
      return false;
    }
    ++published_;
  }
  known_.clear();
  byCookie_.clear();
  return true;
}

}  // namespace pendrakel
