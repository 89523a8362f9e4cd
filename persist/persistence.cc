#include "persist/persistence.h"

#include <utility>

#include "persist/data_folder.h"
#include "persist/folder_reader.h"
#include "persist/journal.h"
#include "persist/journal_file.h"
#include "persist/log_line.h"
#include "persist/rebuild.h"
#include "persist/store_loader.h"
#include "persist/store_view.h"
#include "store/change_queue.h"
#include "store/cookie_table.h"
#include "store/memory_budget.h"
#include "store/shared_values.h"

namespace pendrakel {
namespace {

std::string TooLarge(const PersistOptions& options, const std::string& what) {
  return options.folder + ": " + what + ", more than the memory maximum of " +
         std::to_string(options.memoryMax) +
         " bytes (Memory Max); raise it to load this store";
}

// Reads the folder into the store through `loader`. False with `why`.
bool Load(const DataFolder& folder, const PersistOptions& options,
          const PersistedStore& store, StoreLoader& loader, Rebuild& rebuild,
          FolderState& state, std::string& why) {
  store.budget.SetMax(LoadingMax(options.memoryMax, options.compactMinBytes));
  const bool read = ReadFolder(
      folder,
      [&rebuild](FileKind kind, const Record& record) {
        return rebuild.Apply(kind, record);
      },
      state, why);
  store.budget.SetMax(options.memoryMax);
  const uint64_t total = store.budget.total();
  if (!read) {
    // Refused by the budget, not damaged.
    if (options.memoryMax != 0 && why.ends_with(": out of memory")) {
      why = TooLarge(options,
                     "loading stopped at " + std::to_string(loader.values()) +
                         " values taking " + std::to_string(total) + " bytes");
    }
    return false;
  }
  // Exact, now that what later records undid is gone.
  if (options.memoryMax != 0 && total > options.memoryMax) {
    why = TooLarge(options,
                   "its values take " + std::to_string(total) + " bytes");
    return false;
  }
  return rebuild.Publish(why);
}

// The journal to write next: a new one in an empty folder, else the last
// one, cut after its good records.
std::unique_ptr<JournalFile> OpenJournal(const DataFolder& folder,
                                         const FolderState& state,
                                         std::string& why) {
  if (state.empty) return JournalFile::Create(folder, 1, why);
  return JournalFile::Resume(folder, state.journal, state.journalGoodEnd, why);
}

// Removes what a successful start no longer needs: files older than the
// snapshot it read, and snapshots a crash left unfinished.
void RemoveStale(const DataFolder& folder, const FolderState& state) {
  DataFolder::Contents contents;
  std::string why;
  bool ok = folder.List(contents, why);
  for (uint64_t journal : contents.journals)
    if (ok && journal < state.snapshot)
      ok = folder.Remove(DataFolder::JournalName(journal), why);
  for (uint64_t snapshot : contents.snapshots)
    if (ok && snapshot < state.snapshot)
      ok = folder.Remove(DataFolder::SnapshotName(snapshot), why);
  for (uint64_t partial : contents.partials)
    if (ok) ok = folder.Remove(DataFolder::PartialName(partial), why);
  if (ok) ok = folder.Sync(why);
  if (!ok) LogLine("older files not removed: " + why);
}

}  // namespace

uint64_t LoadingMax(uint64_t memoryMax, uint64_t compactMinBytes) {
  if (memoryMax == 0 || memoryMax > (UINT64_MAX - compactMinBytes) / 2)
    return 0;
  return 2 * memoryMax + compactMinBytes;
}

Persistence::Persistence() = default;

Persistence::~Persistence() { Stop(); }

bool Persistence::Start(const PersistOptions& options,
                        const PersistedStore& store, std::string& why) {
  std::unique_ptr<DataFolder> folder = DataFolder::Open(options.folder, why);
  if (!folder) return false;
  changes_ = std::make_unique<ChangeQueue>(options.sync == SyncMode::kAlways);
  FolderState state;
  {
    StoreLoader loader(store.budget, store.lazyFree, store.cookies,
                       store.shared, *changes_);
    Rebuild rebuild(loader, store.clock(), options.idleLimit);
    if (!Load(*folder, options, store, loader, rebuild, state, why))
      return false;
    changes_->StartIdsAfter(rebuild.highestId());
  }
  std::unique_ptr<JournalFile> file = OpenJournal(*folder, state, why);
  if (!file) return false;
  store.cookies.RecordChanges(changes_.get());
  if (!store.shared.RecordChanges(*changes_)) {
    why = options.folder + ": out of memory";
    return false;
  }
  RemoveStale(*folder, state);
  view_ = std::make_unique<StoreView>(store.cookies, store.shared, store.clock);
  journal_ = std::make_unique<Journal>(
      std::move(folder), std::move(file), state.snapshotBytes, *changes_,
      *view_, JournalOptions{options.sync, options.compactMinBytes});
  if (!journal_->Start()) {
    why = options.folder + ": the journal's writer thread cannot be started";
    return false;
  }
  return true;
}

void Persistence::Stop() {
  if (journal_) journal_->Stop();
}

}  // namespace pendrakel
