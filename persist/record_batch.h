// RecordBatch: records laid out for one gathered write. Heads, fixed parts,
// names and small data are copied into the batch's own buffer; the data of a
// large value is only pointed at, so that a value is written from its own
// bytes and never copied.
//
// Ownership: the batch owns its buffer. REQUIRES: every text or data of
// kInPlaceDataBytes or more handed to AddPut or AddRemove (a value's name,
// content type or data) stays unchanged until the batch is written or
// cleared; the caller holds references on the values for that long. The
// other records are copied whole.
//
// Threads: one at a time (the writer thread).
#ifndef PENDRAKEL_PERSIST_RECORD_BATCH_H_
#define PENDRAKEL_PERSIST_RECORD_BATCH_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "persist/format.h"

namespace pendrakel {

// Data of at least this many bytes is written in place rather than copied
// into the batch: below it a copy is cheaper than one more piece of the
// gathered write.
inline constexpr size_t kInPlaceDataBytes = 16 * 1024;

class RecordBatch {
 public:
  RecordBatch() = default;
  RecordBatch(const RecordBatch&) = delete;
  RecordBatch& operator=(const RecordBatch&) = delete;

  void AddFileHeader(FileKind kind, uint64_t generation);
  void AddCollection(const CollectionRecord& record);
  void AddDrop(uint64_t id);
  // One touch record holding all of `touches`; nothing when empty.
  void AddTouches(std::span<const TouchRecord> touches);
  void AddPut(const PutRecord& record);
  void AddRemove(const RemoveRecord& record);
  void AddEnd(const EndRecord& record);
  // Bytes laid out before (written by an earlier batch), pointed at.
  // REQUIRES: `bytes` stay unchanged until the batch is written or cleared.
  void AddWritten(Bytes bytes) {
    if (!bytes.empty()) Point(bytes);
  }

  // Appends a copy of every byte laid out to `out`.
  void AppendTo(std::vector<unsigned char>& out) const;

  // Bytes laid out so far.
  uint64_t bytes() const { return bytes_; }
  bool empty() const { return bytes_ == 0; }
  void Clear();

  // Writes the whole batch at `offset` of `fd`, as few gathered writes as
  // it takes. Returns 0, or the errno of the write that failed (what was
  // written before it stays written).
  int WriteAt(int fd, uint64_t offset) const;

 private:
  // A piece of the write: bytes of buffer_ from `offset`, or outside bytes.
  struct Piece {
    const unsigned char* outside;  // nullptr: in buffer_
    size_t offset;
    size_t length;
  };

  // Parts of kInPlaceDataBytes or more are pointed at unless `copyAll`.
  void AddRecord(RecordType type, std::span<const Bytes> parts,
                 bool copyAll = false);
  void Copy(Bytes bytes);
  void Point(Bytes bytes);

  std::vector<unsigned char> buffer_;
  std::vector<Piece> pieces_;
  uint64_t bytes_ = 0;
};

}  // namespace pendrakel

#endif  // PENDRAKEL_PERSIST_RECORD_BATCH_H_
