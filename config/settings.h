// Settings: the extension's configuration, one process-wide record whose
// fields hold compiled-in defaults from the moment the module is loaded.
//
// LoadSettings overwrites the defaults from the settings file once, during
// start-up, before any request and before the collector threads exist; from
// then on the record is only read, without a lock.
#ifndef PENDRAKEL_CONFIG_SETTINGS_H_
#define PENDRAKEL_CONFIG_SETTINGS_H_

#include <cstddef>
#include <cstdint>

#include "persist/sync_mode.h"

namespace pendrakel {

struct SettingsProblem;

// Capacities of the text fields, terminator included.
inline constexpr size_t kCommandNameBytes = 64;
inline constexpr size_t kSettingTextBytes = 256;
// PathBaseLength is a signed 8-bit count: a longer PathBase is refused.
inline constexpr size_t kMaxPathBaseLength = 127;
// Seconds a collection may stay unused before it is dropped.
inline constexpr int64_t kDefaultIdleLimitSeconds = 20 * 60;

struct Settings {
  char Description[kSettingTextBytes] = "Pendrakel ISAPI Extension";
  int64_t IdleLimit = kDefaultIdleLimitSeconds;  // seconds; 0 = never idle
  char GetCmdName[kCommandNameBytes] = "get";
  char SetCmdName[kCommandNameBytes] = "set";
  char DelCmdName[kCommandNameBytes] = "del";
  char NopCmdName[kCommandNameBytes] = "nop";
  char PathBase[kSettingTextBytes] = "/";
  bool Distribute = false;
  char CookieName[kSettingTextBytes] = "";
  // Cookie attributes ("Path=/; HttpOnly") sent after the handed-out cookie
  // and "; "; empty: the Set-Cookie line carries none.
  char CookieAttributes[kSettingTextBytes] = "";
  char DefaultContentType[kSettingTextBytes] = "";
  int8_t PathBaseLength = 1;  // always the byte length of PathBase
  // Where the store keeps its files (the Persist element); empty: nowhere,
  // values live in memory only.
  char PersistFolder[kSettingTextBytes] = "";
  // When a store or delete counts as kept; only with a PersistFolder.
  SyncMode PersistSync = SyncMode::kSecond;
};

// Result codes of LoadSettings (0 success, negative failure).
inline constexpr int32_t kOk = 0;
inline constexpr int32_t kErrorFail = static_cast<int32_t>(0x80004005u);
inline constexpr int32_t kErrorPointer = static_cast<int32_t>(0x80004003u);
inline constexpr int32_t kErrorOutOfMemory = static_cast<int32_t>(0x8007000Eu);
// A number that is not one, or out of the range of its type.
inline constexpr int32_t kErrorTypeMismatch = static_cast<int32_t>(0x80020005u);
inline constexpr int32_t kErrorOverflow = static_cast<int32_t>(0x8002000Au);

// Whether anything is at `path`: a file, or a link even when it leads
// nowhere. Start-up reads the settings only when they are there, and a link
// that cannot be followed must fail it (the read does) rather than leave
// the defaults, with no memory limit, in force.
bool SettingsFilePresent(const char* path);

// Reads the XML settings file at `path` into `settings`, and its memory
// maximum in bytes (0: no limit) into `memoryMax`, which is set only when the
// whole file was taken. Returns kOk, or a negative code when the file was
// not read; settings taken before a failure keep their new values, and a file
// that is not well-formed changes nothing. Prints nothing; on failure
// `problem`, when given, says in words what was refused and why.
int32_t LoadSettings(const char* path, Settings& settings, uint64_t& memoryMax,
                     SettingsProblem* problem = nullptr);

}  // namespace pendrakel

#endif  // PENDRAKEL_CONFIG_SETTINGS_H_
