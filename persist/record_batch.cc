#include "persist/record_batch.h"

#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "persist/crc.h"

namespace pendrakel {
namespace {

Bytes AsBytes(std::string_view text) {
  return {reinterpret_cast<const unsigned char*>(text.data()), text.size()};
}

// Pieces of one gathered write: the kernel takes at most IOV_MAX.
constexpr size_t kPiecesPerWrite = IOV_MAX;

}  // namespace

void RecordBatch::Clear() {
  buffer_.clear();
  pieces_.clear();
  bytes_ = 0;
}

void RecordBatch::Copy(Bytes bytes) {
  if (bytes.empty()) return;
  if (!pieces_.empty() && pieces_.back().outside == nullptr) {
    pieces_.back().length += bytes.size();
  } else {
    pieces_.push_back({nullptr, buffer_.size(), bytes.size()});
  }
  buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
  bytes_ += bytes.size();
}

void RecordBatch::Point(Bytes bytes) {
  pieces_.push_back({bytes.data(), 0, bytes.size()});
  bytes_ += bytes.size();
}

void RecordBatch::AddRecord(RecordType type, std::span<const Bytes> parts,
                            bool copyAll) {
  RecordHead head;
  head.type = type;
  bool pointed = false;
  for (const Bytes part : parts) {
    head.length += part.size();
    pointed |= !copyAll && part.size() >= kInPlaceDataBytes;
  }
  unsigned char encoded[kRecordHeadBytes] = {};
  const size_t headAt = buffer_.size();
  Copy(encoded);  // encoded once the payload's checksum is known
  for (const Bytes part : parts) {
    if (!copyAll && part.size() >= kInPlaceDataBytes) {
      Point(part);
    } else {
      Copy(part);
    }
    // A payload copied whole is checked in one pass over the copy.
    if (pointed)
      head.payloadCrc = Crc32(part.data(), part.size(), head.payloadCrc);
  }
  if (!pointed) {
    const size_t payloadAt = headAt + kRecordHeadBytes;
    head.payloadCrc =
        Crc32(buffer_.data() + payloadAt, buffer_.size() - payloadAt);
  }
  EncodeRecordHead(head, encoded);
  std::copy(encoded, encoded + kRecordHeadBytes, buffer_.begin() + headAt);
}

void RecordBatch::AddFileHeader(FileKind kind, uint64_t generation) {
  unsigned char header[kFileHeaderBytes];
  EncodeFileHeader(kind, generation, header);
  Copy(header);
}

void RecordBatch::AddCollection(const CollectionRecord& record) {
  unsigned char fixed[kCollectionFixedBytes];
  EncodeCollectionFixed(record, fixed);
  const Bytes parts[] = {fixed, AsBytes(record.cookie)};
  AddRecord(RecordType::kCollection, parts, /*copyAll=*/true);
}

void RecordBatch::AddDrop(uint64_t id) {
  unsigned char payload[kDropBytes];
  PutU64(payload, id);
  const Bytes parts[] = {payload};
  AddRecord(RecordType::kDrop, parts);
}

void RecordBatch::AddTouches(std::span<const TouchRecord> touches) {
  if (touches.empty()) return;
  std::vector<unsigned char> payload(touches.size() * kTouchPairBytes);
  for (size_t i = 0; i < touches.size(); ++i) {
    EncodeTouchPair(touches[i], payload.data() + i * kTouchPairBytes);
  }
  const Bytes parts[] = {payload};
  AddRecord(RecordType::kTouch, parts, /*copyAll=*/true);  // a local payload
}

void RecordBatch::AddPut(const PutRecord& record) {
  unsigned char fixed[kPutFixedBytes];
  EncodePutFixed(record, fixed);
  const Bytes parts[] = {fixed, AsBytes(record.name),
                         AsBytes(record.contentType), record.data};
  AddRecord(RecordType::kPut, parts);
}

void RecordBatch::AddRemove(const RemoveRecord& record) {
  unsigned char fixed[kRemoveFixedBytes];
  PutU64(fixed, record.collection);
  const Bytes parts[] = {fixed, AsBytes(record.name)};
  AddRecord(RecordType::kRemove, parts);
}

void RecordBatch::AddEnd(const EndRecord& record) {
  unsigned char payload[kEndBytes];
  EncodeEnd(record, payload);
  const Bytes parts[] = {payload};
  AddRecord(RecordType::kEnd, parts);
}

void RecordBatch::AppendTo(std::vector<unsigned char>& out) const {
  out.reserve(out.size() + bytes_);
  for (const Piece& piece : pieces_) {
    const unsigned char* start = piece.outside != nullptr
                                     ? piece.outside
                                     : buffer_.data() + piece.offset;
    out.insert(out.end(), start, start + piece.length);
  }
}

int RecordBatch::WriteAt(int fd, uint64_t offset) const {
  std::vector<iovec> vector;
  vector.reserve(std::min(pieces_.size(), kPiecesPerWrite));
  size_t next = 0;     // first piece not yet in a write
  size_t skipped = 0;  // bytes of pieces_[next] already written
  while (next < pieces_.size()) {
    vector.clear();
    for (size_t i = next; i < pieces_.size() && vector.size() < kPiecesPerWrite;
         ++i) {
      const Piece& piece = pieces_[i];
      const unsigned char* start = piece.outside != nullptr
                                       ? piece.outside
                                       : buffer_.data() + piece.offset;
      const size_t from = i == next ? skipped : 0;
      vector.push_back(
          {const_cast<unsigned char*>(start) + from, piece.length - from});
    }
    const ssize_t wrote =
        pwritev(fd, vector.data(), static_cast<int>(vector.size()),
                static_cast<off_t>(offset));
    if (wrote < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (wrote == 0) return EIO;
    offset += static_cast<uint64_t>(wrote);
    // Step over what was written, piece by piece.
    size_t left = static_cast<size_t>(wrote);
    while (left > 0) {
      const size_t rest = pieces_[next].length - skipped;
      if (left < rest) {
        skipped += left;
        left = 0;
      } else {
        left -= rest;
        ++next;
        skipped = 0;
      }
    }
  }
  return 0;
}

}  // namespace pendrakel
