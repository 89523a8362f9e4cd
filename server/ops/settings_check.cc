#include "server/ops/settings_check.h"

#include <cstdint>
#include <filesystem>
#include <ostream>

#include "base/settings_file.h"
#include "config/settings.h"
#include "config/settings_problem.h"

namespace pendrakel::server {
namespace {

// Every text is printed quoted and escaped: a line break in a command name
// must not print a line of its own.
void PrintValues(const Settings& settings, uint64_t memory_max,
                 std::ostream& out) {
  out << "  GC Limit: " << settings.IdleLimit / 60 << " minutes"
      << (settings.IdleLimit == 0 ? " (collections are never dropped)" : "")
      << "\n  Cookie Distribute: " << (settings.Distribute ? "true" : "false")
      << "\n  Cookie Name: " << QuoteSettingText(settings.CookieName)
      << "\n  Cookie Attributes: "
      << QuoteSettingText(settings.CookieAttributes)
      << "\n  CmdName: Get=" << QuoteSettingText(settings.GetCmdName)
      << " Set=" << QuoteSettingText(settings.SetCmdName)
      << " Del=" << QuoteSettingText(settings.DelCmdName)
      << " Nop=" << QuoteSettingText(settings.NopCmdName)
      << "\n  PathBase: " << QuoteSettingText(settings.PathBase)
      << "\n  DefaultContentType: "
      << QuoteSettingText(settings.DefaultContentType)
      << "\n  Memory Max: " << memory_max
      << (memory_max == 0 ? " (no limit)" : " bytes");
  if (settings.PersistFolder[0] == '\0') {
    out << "\n  Persist: off (values are kept in memory only)\n";
  } else {
    out << "\n  Persist: Folder=" << QuoteSettingText(settings.PersistFolder)
        << " Sync=\""
        << (settings.PersistSync == SyncMode::kAlways ? "always" : "second")
        << "\"\n";
  }
}

}  // namespace

int CheckSettings(const std::string& module_path, std::ostream& out,
                  std::ostream& err) {
  std::error_code error;
  const std::filesystem::path module =
      std::filesystem::absolute(module_path, error);
  if (!std::filesystem::is_regular_file(module, error)) {
    err << "pendrakel-host: no module at " << module.string() << "\n";
    return 1;
  }
  const std::string path = (module.parent_path() / kSettingsFileName).string();
  Settings settings;
  uint64_t memory_max = 0;
  // The module's own test, so that a link leading nowhere is refused here
  // as it is at start-up.
  if (!SettingsFilePresent(path.c_str())) {
    out << "settings OK: no " << path << ", the module uses its defaults:\n";
    PrintValues(settings, memory_max, out);
    return 0;
  }
  SettingsProblem problem;
  if (LoadSettings(path.c_str(), settings, memory_max, &problem) < 0) {
    err << "pendrakel-host: " << path << ": " << problem.Describe() << "\n";
    return 1;
  }
  out << "settings OK: " << path << ", the module will use:\n";
  PrintValues(settings, memory_max, out);
  return 0;
}

}  // namespace pendrakel::server
