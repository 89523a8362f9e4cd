#include "extension/module_state.h"

#include <dlfcn.h>

#include <filesystem>

#include "base/settings_file.h"

namespace pendrakel {
namespace {

ExtensionObjects gModule;

}  // namespace

ExtensionObjects& Module() { return gModule; }

std::string SettingsPath() {
  Dl_info info{};
  // Any symbol of this module names its file.
  if (dladdr(reinterpret_cast<void*>(&SettingsPath), &info) == 0 ||
      info.dli_fname == nullptr) {
    return kSettingsFileName;
  }
  std::error_code error;
  std::filesystem::path file = std::filesystem::absolute(info.dli_fname, error);
  if (error) file = info.dli_fname;
  return (file.parent_path() / kSettingsFileName).string();
}

}  // namespace pendrakel
