// The three entry points of the extension module.
#include <cstdint>
#include <cstring>
#include <string>

#include "base/isapi.h"
#include "extension/module_state.h"
#include "request/collector_passes.h"
#include "request/dispatch.h"

using pendrakel::ExtensionObjects;
using pendrakel::Module;

#define PENDRAKEL_EXPORT extern "C" __attribute__((visibility("default")))

// Start-up: fills the host's version record, makes the shared collection,
// reads the settings file beside the module if there is one and starts both
// collectors, the module's only threads (the idle collector also destroys
// large dropped collections). A failure undoes what was done and returns
// FALSE.
PENDRAKEL_EXPORT BOOL GetExtensionVersion(HSE_VERSION_INFO* version) {
  ExtensionObjects& module = Module();
  version->dwExtensionVersion = HSE_VERSION;
  const size_t length = strnlen(module.settings.Description,
                                sizeof version->lpszExtensionDesc - 1);
  std::memcpy(version->lpszExtensionDesc, module.settings.Description, length);
  version->lpszExtensionDesc[length] = '\0';

  if (!module.shared.Start()) return FALSE;
  pendrakel::Count(module.counters.ValuesCreate);
  const std::string path = pendrakel::SettingsPath();
  uint64_t memoryMax = 0;
  if (pendrakel::SettingsFilePresent(path.c_str()) &&
      pendrakel::LoadSettings(path.c_str(), module.settings, memoryMax) < 0) {
    module.shared.Stop();
    return FALSE;
  }
  module.budget.SetMax(memoryMax);
  if (!pendrakel::StartCollectors(module.collectors, module.state)) {
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
// large collections handed to the idle one are destroyed, then releases the
// shared collection; collections released from then on (the shared one,
// the cookie table's at unload) are destroyed at once. Harmless when
// repeated or after a failed start-up.
PENDRAKEL_EXPORT BOOL TerminateExtension(DWORD /*flags*/) {
  ExtensionObjects& module = Module();
  module.collectors.Stop();
  module.shared.Stop();
  return TRUE;
}
