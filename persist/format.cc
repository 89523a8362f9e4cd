#include "persist/format.h"

#include <cstring>

#include "persist/crc.h"

namespace pendrakel {
namespace {

constexpr char kJournalMagic[8] = {'P', 'N', 'D', 'R', 'K', 'J', 'N', 'L'};
constexpr char kSnapshotMagic[8] = {'P', 'N', 'D', 'R', 'K', 'S', 'N', 'P'};

const char* Magic(FileKind kind) {
  return kind == FileKind::kJournal ? kJournalMagic : kSnapshotMagic;
}
const char* KindName(FileKind kind) {
  return kind == FileKind::kJournal ? "journal" : "snapshot";
}

std::string_view TextAt(Bytes payload, size_t offset, size_t length) {
  return {reinterpret_cast<const char*>(payload.data()) + offset, length};
}

bool AllZero(const unsigned char* in, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    if (in[i] != 0) return false;
  }
  return true;
}

}  // namespace

void EncodeFileHeader(FileKind kind, uint64_t generation,
                      unsigned char out[kFileHeaderBytes]) {
  std::memset(out, 0, kFileHeaderBytes);
  std::memcpy(out, Magic(kind), 8);
  PutU32(out + 8, kFormatVersion);
  PutU64(out + 16, generation);
  PutU32(out + 28, Crc32(out, 28));
}

std::string DecodeFileHeader(FileKind kind, const unsigned char* in,
                             uint64_t& generation) {
  if (std::memcmp(in, Magic(kind), 8) != 0) {
    return std::string("is not a ") + KindName(kind) + " file";
  }
  if (GetU32(in + 28) != Crc32(in, 28) || !AllZero(in + 12, 4) ||
      !AllZero(in + 24, 4)) {
    return "has a damaged header";
  }
  const uint32_t version = GetU32(in + 8);
  if (version != kFormatVersion) {
    return "has format version " + std::to_string(version) +
           "; this build reads version " + std::to_string(kFormatVersion);
  }
  generation = GetU64(in + 16);
  return {};
}

void EncodeRecordHead(const RecordHead& head,
                      unsigned char out[kRecordHeadBytes]) {
  PutU64(out, head.length);
  out[8] = static_cast<unsigned char>(head.type);
  out[9] = out[10] = out[11] = 0;
  PutU32(out + 12, head.payloadCrc);
  PutU32(out + 16, Crc32(out, 16));
}

bool DecodeRecordHead(const unsigned char* in, RecordHead& head) {
  if (GetU32(in + 16) != Crc32(in, 16) || !AllZero(in + 9, 3)) return false;
  head.length = GetU64(in);
  head.type = static_cast<RecordType>(in[8]);
  head.payloadCrc = GetU32(in + 12);
  return true;
}

void EncodeCollectionFixed(const CollectionRecord& record,
                           unsigned char out[kCollectionFixedBytes]) {
  PutU64(out, record.id);
  PutU64(out + 8, static_cast<uint64_t>(record.lastAccess));
  out[16] = static_cast<unsigned char>(record.kind);
}

void EncodeTouchPair(const TouchRecord& record,
                     unsigned char out[kTouchPairBytes]) {
  PutU64(out, record.id);
  PutU64(out + 8, static_cast<uint64_t>(record.lastAccess));
}

void EncodePutFixed(const PutRecord& record,
                    unsigned char out[kPutFixedBytes]) {
  PutU64(out, record.collection);
  PutU64(out + 8, static_cast<uint64_t>(record.expiry));
  PutU32(out + 16, static_cast<uint32_t>(record.name.size()));
  PutU32(out + 20, static_cast<uint32_t>(record.contentType.size()));
}

void EncodeEnd(const EndRecord& record, unsigned char out[kEndBytes]) {
  PutU64(out, record.collections);
  PutU64(out + 8, record.values);
}

bool ParseCollection(Bytes payload, CollectionRecord& record) {
  if (payload.size() < kCollectionFixedBytes) return false;
  const unsigned char kind = payload[16];
  if (kind > static_cast<unsigned char>(CollectionKind::kShared)) return false;
  record.id = GetU64(payload.data());
  record.lastAccess = static_cast<int64_t>(GetU64(payload.data() + 8));
  record.kind = static_cast<CollectionKind>(kind);
  record.cookie = TextAt(payload, kCollectionFixedBytes,
                         payload.size() - kCollectionFixedBytes);
  // The shared collection has no cookie; a cookie's is never empty.
  return (record.kind == CollectionKind::kShared) == record.cookie.empty();
}

bool ParseDrop(Bytes payload, uint64_t& id) {
  if (payload.size() != kDropBytes) return false;
  id = GetU64(payload.data());
  return true;
}

bool IsTouchPayload(Bytes payload) {
  return !payload.empty() && payload.size() % kTouchPairBytes == 0;
}

TouchRecord TouchPairAt(Bytes payload, size_t index) {
  const unsigned char* pair = payload.data() + index * kTouchPairBytes;
  return {GetU64(pair), static_cast<int64_t>(GetU64(pair + 8))};
}

bool ParsePut(Bytes payload, PutRecord& record) {
  if (payload.size() < kPutFixedBytes) return false;
  const uint64_t nameLength = GetU32(payload.data() + 16);
  const uint64_t typeLength = GetU32(payload.data() + 20);
  if (nameLength + typeLength > payload.size() - kPutFixedBytes) return false;
  const uint64_t dataLength =
      payload.size() - kPutFixedBytes - nameLength - typeLength;
  if (dataLength > UINT32_MAX) return false;
  record.collection = GetU64(payload.data());
  record.expiry = static_cast<int64_t>(GetU64(payload.data() + 8));
  record.name = TextAt(payload, kPutFixedBytes, nameLength);
  record.contentType = TextAt(payload, kPutFixedBytes + nameLength, typeLength);
  record.data = payload.subspan(kPutFixedBytes + nameLength + typeLength);
  return true;
}

bool ParseRemove(Bytes payload, RemoveRecord& record) {
  if (payload.size() < kRemoveFixedBytes) return false;
  record.collection = GetU64(payload.data());
  record.name =
      TextAt(payload, kRemoveFixedBytes, payload.size() - kRemoveFixedBytes);
  return true;
}

bool ParseEnd(Bytes payload, EndRecord& record) {
  if (payload.size() != kEndBytes) return false;
  record.collections = GetU64(payload.data());
  record.values = GetU64(payload.data() + 8);
  return true;
}

}  // namespace pendrakel
