#include "persist/record_reader.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "persist/crc.h"
#include "persist/data_folder.h"

namespace pendrakel {
namespace {

bool AllZero(const unsigned char* from, uint64_t count) {
  for (uint64_t i = 0; i < count; ++i) {
    if (from[i] != 0) return false;
  }
  return true;
}

}  // namespace

std::unique_ptr<RecordReader> RecordReader::Open(const DataFolder& folder,
                                                 const std::string& name,
                                                 FileKind kind,
                                                 bool lastJournal,
                                                 std::string& why) {
  const int fd = folder.OpenExisting(name, /*writable=*/false, why);
  if (fd < 0) return nullptr;
  struct stat status {};
  if (fstat(fd, &status) != 0) {
    why = folder.PathOf(name) + " cannot be examined (" + std::strerror(errno) +
          ")";
    close(fd);
    return nullptr;
  }
  const auto size = static_cast<uint64_t>(status.st_size);
  void* map = nullptr;
  if (size > 0) {
    map = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (map == MAP_FAILED) {
      why = folder.PathOf(name) + " cannot be read (" + std::strerror(errno) +
            ")";
      close(fd);
      return nullptr;
    }
    madvise(map, size, MADV_SEQUENTIAL);
  }
  close(fd);  // the mapping stays
  std::unique_ptr<RecordReader> reader(
      new RecordReader(folder.PathOf(name), static_cast<unsigned char*>(map),
                       size, lastJournal));
  if (size < kFileHeaderBytes) {
    // A journal made just before a crash may hold part of its header only.
    if (lastJournal) return reader;
    why = reader->path_ + " is too short for its header";
    return nullptr;
  }
  // A journal whose header was not yet on disk at a crash reads as zeros.
  if (lastJournal && AllZero(reader->map_, kFileHeaderBytes)) return reader;
  const std::string problem =
      DecodeFileHeader(kind, reader->map_, reader->generation_);
  if (!problem.empty()) {
    why = reader->path_ + " " + problem;
    return nullptr;
  }
  reader->position_ = kFileHeaderBytes;
  return reader;
}

RecordReader::~RecordReader() {
  if (map_ != nullptr) munmap(const_cast<unsigned char*>(map_), size_);
}

RecordReader::Step RecordReader::Damaged(uint64_t offset,
                                         std::string_view what) {
  damage_ = path_ + ": damaged at offset " + std::to_string(offset) + ": " +
            std::string(what);
  return Step::kDamaged;
}

RecordReader::Step RecordReader::Tail(std::string_view what) {
  if (tornAllowed_) return Step::kTorn;
  return Damaged(position_, what);
}

RecordReader::Step RecordReader::Refuse(const Record& record,
                                        std::string_view what) {
  return Damaged(record.offset, what);
}

RecordReader::Step RecordReader::Next(Record& record) {
  if (position_ < kFileHeaderBytes) return Tail("is too short for its header");
  if (position_ == size_) return Step::kEnd;
  const uint64_t remaining = size_ - position_;
  const unsigned char* at = map_ + position_;
  if (remaining < kRecordHeadBytes) return Tail("ends inside a record head");
  RecordHead head;
  if (!DecodeRecordHead(at, head)) {
    // Blocks the file system had allocated but not yet written read as
    // zeros after a crash.
    if (AllZero(at, remaining)) return Tail("ends in zero bytes");
    return Damaged(position_, "the record head's checksum does not match");
  }
  const auto type = static_cast<uint8_t>(head.type);
  if (type == 0 || type > kLastRecordType) {
    return Damaged(position_, "unknown record type " + std::to_string(type));
  }
  if (head.length > kMaxRecordPayloadBytes) {
    return Damaged(position_, "a record declares " +
                                  std::to_string(head.length) + " bytes");
  }
  if (head.length > remaining - kRecordHeadBytes) {
    return Tail("ends inside a record");
  }
  const unsigned char* payload = at + kRecordHeadBytes;
  if (Crc32(payload, head.length) != head.payloadCrc) {
    // The last record of a file that was being appended to may have been
    // only partly written.
    if (head.length == remaining - kRecordHeadBytes) {
      return Tail("ends in a record whose checksum does not match");
    }
    return Damaged(position_, "the record's checksum does not match");
  }
  record = {head.type, Bytes(payload, head.length), position_};
  position_ += kRecordHeadBytes + head.length;
  return Step::kRecord;
}

}  // namespace pendrakel
