// The three entry points of the extension module.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "base/isapi.h"
#include "base/settings_file.h"
#include "config/settings.h"
#include "config/settings_problem.h"
#include "extension/module_state.h"
#include "persist/log_line.h"
#include "persist/persistence.h"
#include "request/collector_passes.h"
#include "request/dispatch.h"

using pendrakel::ExtensionObjects;
using pendrakel::Module;

#define PENDRAKEL_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// Settings refused: false. A refused Persist element is told on standard
// error, as everything persistence must tell; nothing else is.
bool ReadSettings(ExtensionObjects& module, uint64_t& memoryMax) {
  const std::string path = pendrakel::SettingsPath();
  if (!pendrakel::SettingsFilePresent(path.c_str())) return true;
  pendrakel::SettingsProblem problem;
  if (pendrakel::LoadSettings(path.c_str(), module.settings, memoryMax,
                              &problem) >= 0) {
    return true;
  }
  if (problem.where.starts_with("Persist ")) {
    pendrakel::LogLine(path + ": " + problem.Describe(SIZE_MAX) +
                       "; the store does not start");
  }
  return false;
}

// With the Persist setting: loads the store's files and records from then
// on. False, told in one line, when they cannot be used.
bool StartPersistence(ExtensionObjects& module, uint64_t memoryMax) {
  const pendrakel::Settings& settings = module.settings;
  if (settings.PersistFolder[0] == '\0') return true;
  module.persistence = std::make_unique<pendrakel::Persistence>();
  std::string why;
  if (module.persistence->Start({settings.PersistFolder, settings.PersistSync,
                                 settings.IdleLimit, memoryMax},
                                {module.budget, module.lazyFree, module.cookies,
                                 module.shared, module.state.clock},
                                why)) {
    return true;
  }
  pendrakel::LogLine(why + "; the store does not start");
  return false;
}

}  // namespace

// Start-up: fills the host's version record, makes the shared collection,
// reads the settings file beside the module if there is one, loads the
// store's files when the settings keep them (starting the journal's writer)
// and starts both collectors, the module's only other threads (the idle
// collector also destroys large dropped collections). A failure undoes
// what was done and returns FALSE.
PENDRAKEL_EXPORT BOOL GetExtensionVersion(HSE_VERSION_INFO* version) {
  ExtensionObjects& module = Module();
  version->dwExtensionVersion = HSE_VERSION;
  const size_t length = strnlen(module.settings.Description,
                                sizeof version->lpszExtensionDesc - 1);
  std::memcpy(version->lpszExtensionDesc, module.settings.Description, length);
  version->lpszExtensionDesc[length] = '\0';

  if (!module.shared.Start()) return FALSE;
  module.counters.Add(pendrakel::Counter::kValuesCreate);
  uint64_t memoryMax = 0;
  if (!ReadSettings(module, memoryMax)) {
    module.shared.Stop();
    return FALSE;
  }
  module.budget.SetMax(memoryMax);
  if (!StartPersistence(module, memoryMax) ||
      !pendrakel::StartCollectors(module.collectors, module.state)) {
    if (module.persistence) module.persistence->Stop();
    module.shared.Stop();
    return FALSE;
  }
  return TRUE;
}

PENDRAKEL_EXPORT DWORD HttpExtensionProc(EXTENSION_CONTROL_BLOCK* ecb) {
  // Request handling answers out of memory itself and holds every reference
  // in a handle; this only keeps an unforeseen exception from crossing into
  // the host, which then answers the request with an error of its own.
  try {
    return pendrakel::HandleRequest(Module().state, ecb);
  } catch (...) {
    return HSE_STATUS_SUCCESS;
  }
}

// Shut-down: stops both collectors (waking them from their sleep) once the
// large collections handed to the idle one are destroyed, has the journal's
// writer write and sync what is left (every last access too) and end, then
// releases the shared collection; collections released from then on (the
// shared one, the cookie table's at unload) are destroyed at once.
// Harmless when repeated or after a failed start-up.
PENDRAKEL_EXPORT BOOL TerminateExtension(DWORD /*flags*/) {
  ExtensionObjects& module = Module();
  module.collectors.Stop();
  if (module.persistence) module.persistence->Stop();
  module.shared.Stop();
  return TRUE;
}
