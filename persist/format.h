// The on-disk format of the journal and the snapshot: the file header, the
// record head and the payload of each record type (persist/README.md gives
// the layout). Pure functions over byte buffers; any thread.
//
// Integers are little-endian whatever the machine, so a folder can be moved
// between machines.
#ifndef PENDRAKEL_PERSIST_FORMAT_H_
#define PENDRAKEL_PERSIST_FORMAT_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace pendrakel {

// The format this build writes and the only one it reads.
inline constexpr uint32_t kFormatVersion = 1;
inline constexpr size_t kFileHeaderBytes = 32;
inline constexpr size_t kRecordHeadBytes = 20;
// Largest payload a record may declare: a value of the largest body the
// host takes (below 4 GiB) with its name and content type fits well.
inline constexpr uint64_t kMaxRecordPayloadBytes = uint64_t{1} << 33;

using Bytes = std::span<const unsigned char>;

enum class FileKind : uint8_t { kJournal, kSnapshot };

enum class RecordType : uint8_t {
  kCollection = 1,
  kDrop = 2,
  kTouch = 3,
  kPut = 4,
  kRemove = 5,
  kEnd = 6,
};
inline constexpr uint8_t kLastRecordType = 6;

// What a collection record names: a cookie's collection or the shared one.
enum class CollectionKind : uint8_t { kCookie = 0, kShared = 1 };

inline void PutU32(unsigned char* out, uint32_t value) {
  for (int i = 0; i < 4; ++i)
    out[i] = static_cast<unsigned char>(value >> (8 * i));
}
inline void PutU64(unsigned char* out, uint64_t value) {
  for (int i = 0; i < 8; ++i)
    out[i] = static_cast<unsigned char>(value >> (8 * i));
}
inline uint32_t GetU32(const unsigned char* in) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | in[i];
  return value;
}
inline uint64_t GetU64(const unsigned char* in) {
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | in[i];
  return value;
}

// --- file header -----------------------------------------------------------

void EncodeFileHeader(FileKind kind, uint64_t generation,
                      unsigned char out[kFileHeaderBytes]);
// Why `in` is not the header of a `kind` file of this format ("is not a
// journal file", "has format version 2; this build reads version 1", "has a
// damaged header"), or an empty text, with its generation set, when it is.
std::string DecodeFileHeader(FileKind kind, const unsigned char* in,
                             uint64_t& generation);

// --- record head -----------------------------------------------------------

struct RecordHead {
  uint64_t length = 0;  // payload bytes
  RecordType type = RecordType::kEnd;
  uint32_t payloadCrc = 0;
};

void EncodeRecordHead(const RecordHead& head,
                      unsigned char out[kRecordHeadBytes]);
// False when the head's own checksum fails or its zero bytes are not zero.
// The type and length are not judged here.
bool DecodeRecordHead(const unsigned char* in, RecordHead& head);

// --- payloads --------------------------------------------------------------

// Fixed parts of the payloads, in bytes.
inline constexpr size_t kCollectionFixedBytes = 17;  // id, last access, kind
inline constexpr size_t kDropBytes = 8;              // id
inline constexpr size_t kTouchPairBytes = 16;        // id, last access
inline constexpr size_t kPutFixedBytes = 24;         // id, expiry, two lengths
inline constexpr size_t kRemoveFixedBytes = 8;       // id
inline constexpr size_t kEndBytes = 16;              // collections, values

struct CollectionRecord {
  uint64_t id = 0;
  int64_t lastAccess = 0;
  CollectionKind kind = CollectionKind::kCookie;
  std::string_view cookie;  // empty for the shared collection
};
struct TouchRecord {
  uint64_t id = 0;
  int64_t lastAccess = 0;
};
struct PutRecord {
  uint64_t collection = 0;
  int64_t expiry = 0;  // seconds since 1970; 0 = never
  std::string_view name;
  std::string_view contentType;
  Bytes data;
};
struct RemoveRecord {
  uint64_t collection = 0;
  std::string_view name;
};
struct EndRecord {
  uint64_t collections = 0;
  uint64_t values = 0;
};

void EncodeCollectionFixed(const CollectionRecord& record,
                           unsigned char out[kCollectionFixedBytes]);
void EncodeTouchPair(const TouchRecord& record,
                     unsigned char out[kTouchPairBytes]);
void EncodePutFixed(const PutRecord& record, unsigned char out[kPutFixedBytes]);
void EncodeEnd(const EndRecord& record, unsigned char out[kEndBytes]);

// Each parses a whole payload; false when it does not parse (too short,
// lengths that do not add up, a kind that does not exist). Views point into
// `payload`.
bool ParseCollection(Bytes payload, CollectionRecord& record);
bool ParseDrop(Bytes payload, uint64_t& id);
// Touch payloads are pairs: the count is payload.size() / kTouchPairBytes.
bool IsTouchPayload(Bytes payload);
TouchRecord TouchPairAt(Bytes payload, size_t index);
bool ParsePut(Bytes payload, PutRecord& record);
bool ParseRemove(Bytes payload, RemoveRecord& record);
bool ParseEnd(Bytes payload, EndRecord& record);

}  // namespace pendrakel

#endif  // PENDRAKEL_PERSIST_FORMAT_H_
