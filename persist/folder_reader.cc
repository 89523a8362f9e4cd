#include "persist/folder_reader.h"

#include "persist/data_folder.h"
#include "persist/log_line.h"

namespace pendrakel {
namespace {

// Reads every record of one file into `apply`. False with `why` on damage.
bool ReadFile(const DataFolder& folder, const std::string& name, FileKind kind,
              uint64_t generation, bool lastJournal, const ApplyRecord& apply,
              FolderState& state, std::string& why) {
  std::unique_ptr<RecordReader> reader =
      RecordReader::Open(folder, name, kind, lastJournal, why);
  if (!reader) return false;
  if (reader->goodEnd() > 0 && reader->generation() != generation) {
    why = folder.PathOf(name) + " holds generation " +
          std::to_string(reader->generation()) + ", not the one in its name";
    return false;
  }
  bool ended = false;  // a snapshot's end record was read
  for (;;) {
    Record record;
    RecordReader::Step step = reader->Next(record);
    if (step == RecordReader::Step::kRecord) {
      std::string wrong;
      if (ended) {
        wrong = "a record follows the end record";
      } else if (record.type == RecordType::kEnd &&
                 kind == FileKind::kJournal) {
        wrong = "a journal holds an end record";
      } else {
        ended = record.type == RecordType::kEnd;
        wrong = apply(kind, record);
      }
      if (!wrong.empty()) step = reader->Refuse(record, wrong);
    }
    switch (step) {
      case RecordReader::Step::kRecord:
        continue;
      case RecordReader::Step::kDamaged:
        why = reader->damage();
        return false;
      case RecordReader::Step::kTorn:
        state.tornBytes = reader->tornBytes();
        LogLine(folder.PathOf(name) + ": dropped a torn last record of " +
                std::to_string(reader->tornBytes()) + " bytes at offset " +
                std::to_string(reader->goodEnd()));
        [[fallthrough]];
      case RecordReader::Step::kEnd:
        break;
    }
    break;
  }
  if (kind == FileKind::kSnapshot) {
    if (!ended) {
      why = folder.PathOf(name) + " has no end record";
      return false;
    }
    state.snapshotBytes = reader->size();
  } else {
    state.journalGoodEnd = reader->goodEnd();
  }
  return true;
}

}  // namespace

bool ReadFolder(const DataFolder& folder, const ApplyRecord& apply,
                FolderState& state, std::string& why) {
  state = {};
  DataFolder::Contents contents;
  if (!folder.List(contents, why)) return false;
  if (contents.snapshots.empty() && contents.journals.empty()) return true;
  state.empty = false;
  if (!contents.snapshots.empty()) state.snapshot = contents.snapshots.back();
  // The journals to read: from the snapshot's generation (or the first)
  // on, each following the one before.
  const uint64_t first = state.snapshot == 0 ? 1 : state.snapshot;
  uint64_t expected = first;
  for (uint64_t generation : contents.journals) {
    if (generation < first) continue;  // older than the snapshot
    if (generation != expected) break;
    ++expected;
  }
  if (expected == first || expected - 1 != contents.journals.back()) {
    why = folder.PathOf(DataFolder::JournalName(expected)) + " is missing";
    return false;
  }
  state.journal = expected - 1;
  if (state.snapshot != 0 &&
      !ReadFile(folder, DataFolder::SnapshotName(state.snapshot),
                FileKind::kSnapshot, state.snapshot, false, apply, state,
                why)) {
    return false;
  }
  for (uint64_t generation = first; generation <= state.journal; ++generation) {
    if (!ReadFile(folder, DataFolder::JournalName(generation),
                  FileKind::kJournal, generation, generation == state.journal,
                  apply, state, why)) {
      return false;
    }
  }
  return true;
}

}  // namespace pendrakel
