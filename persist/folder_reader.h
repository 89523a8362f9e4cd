// ReadFolder: reads the store's files in the order that rebuilds it (the
// newest snapshot, then every journal from its generation on), handing each
// record to the caller, and applies the damage rules (persist/README.md).
// It changes nothing on disk; what it found tells start-up where to go on
// writing.
//
// Threads: start-up only.
#ifndef PENDRAKEL_PERSIST_FOLDER_READER_H_
#define PENDRAKEL_PERSIST_FOLDER_READER_H_

#include <cstdint>
#include <functional>
#include <string>

#include "persist/format.h"
#include "persist/record_reader.h"

namespace pendrakel {

class DataFolder;

// What the folder held.
struct FolderState {
  bool empty = true;      // no snapshot and no journal: a new store
  uint64_t snapshot = 0;  // generation of the snapshot read; 0: none
  uint64_t snapshotBytes = 0;
  uint64_t journal = 0;         // generation of the last journal
  uint64_t journalGoodEnd = 0;  // where its whole records end
  uint64_t tornBytes = 0;       // dropped from its end
};

// Applies one record; returns what is wrong with it ("a put record that
// does not parse"), or an empty text.
using ApplyRecord = std::function<std::string(FileKind kind, const Record&)>;

// Reads `folder` into `apply`. False, with `why` naming the file, the offset
// and the fault, on damage; a torn last record of the last journal is not
// damage: it is left out, logged in one line and counted in `state`.
bool ReadFolder(const DataFolder& folder, const ApplyRecord& apply,
                FolderState& state, std::string& why);

}  // namespace pendrakel

#endif  // PENDRAKEL_PERSIST_FOLDER_READER_H_
