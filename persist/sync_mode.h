// SyncMode: when a store or delete counts as kept, the two promises of the
// Persist setting's Sync attribute. A plain enum; any thread.
#ifndef PENDRAKEL_PERSIST_SYNC_MODE_H_
#define PENDRAKEL_PERSIST_SYNC_MODE_H_

#include <cstdint>
#include <optional>
#include <string_view>

namespace pendrakel {

enum class SyncMode : uint8_t {
  // Answered once queued; written and synced in the background at least
  // once a second.
  kSecond,
  // Answered only after its record is synced.
  kAlways,
};

// "second" or "always", exactly; nothing for any other text.
inline std::optional<SyncMode> ParseSyncMode(std::string_view text) {
  if (text == "second") return SyncMode::kSecond;
  if (text == "always") return SyncMode::kAlways;
  return std::nullopt;
}

inline std::string_view SyncModeName(SyncMode mode) {
  return mode == SyncMode::kAlways ? "always" : "second";
}

}  // namespace pendrakel

#endif  // PENDRAKEL_PERSIST_SYNC_MODE_H_
