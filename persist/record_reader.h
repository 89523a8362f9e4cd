// RecordReader: the records of one journal or snapshot file, in order, with
// the rules that tell a torn tail from damage (persist/README.md).
//
// The file is mapped read-only for the life of the reader; a record's
// payload points into the mapping. Nothing is ever written.
//
// Threads: one at a time (start-up).
#ifndef PENDRAKEL_PERSIST_RECORD_READER_H_
#define PENDRAKEL_PERSIST_RECORD_READER_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "persist/format.h"

namespace pendrakel {

class DataFolder;

struct Record {
  RecordType type;
  Bytes payload;
  uint64_t offset;  // of the record's head in the file
};

class RecordReader {
 public:
  enum class Step {
    kRecord,   // `record` is the next one
    kEnd,      // no more records
    kTorn,     // the rest of the file is a torn last record: tornBytes()
    kDamaged,  // damage(): offset and what is wrong
  };

  // Opens `name` in `folder` as a file of `kind`. `lastJournal`: the file
  // may end in a torn record (it was being appended to when the store
  // stopped). Null, with `why` naming the file and the fault, when it cannot
  // be opened or its header is wrong.
  static std::unique_ptr<RecordReader> Open(const DataFolder& folder,
                                            const std::string& name,
                                            FileKind kind, bool lastJournal,
                                            std::string& why);
  ~RecordReader();
  RecordReader(const RecordReader&) = delete;
  RecordReader& operator=(const RecordReader&) = delete;

  Step Next(Record& record);
  // Call with a record that was read but does not parse: the reader is
  // damaged there.
  Step Refuse(const Record& record, std::string_view what);

  uint64_t generation() const { return generation_; }
  uint64_t size() const { return size_; }
  // Where the good records end: the start of a torn tail, or the size.
  uint64_t goodEnd() const { return position_; }
  uint64_t tornBytes() const { return size_ - position_; }
  // "/folder/journal.0000000002: damaged at offset 4096: ..."
  const std::string& damage() const { return damage_; }

 private:
  RecordReader(std::string path, const unsigned char* map, uint64_t size,
               bool lastJournal)
      : path_(std::move(path)),
        map_(map),
        size_(size),
        tornAllowed_(lastJournal) {}

  // The rest of the file from position_ is an unfinished record: torn when
  // that is allowed, else damage.
  Step Tail(std::string_view what);
  Step Damaged(uint64_t offset, std::string_view what);

  const std::string path_;
  const unsigned char* const map_;  // nullptr for an empty file
  const uint64_t size_;
  const bool tornAllowed_;
  uint64_t generation_ = 0;
  uint64_t position_ = 0;
  std::string damage_;
};

}  // namespace pendrakel

#endif  // PENDRAKEL_PERSIST_RECORD_READER_H_
