// LoadSettings: takes the settings file's values into Settings and the
// memory maximum, one step per setting in a fixed order. The first failing step
// ends the load; the fields set by the steps before it keep their new values.
// When asked, the failing step says in words what it refused and why.
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "config/setting_values.h"
#include "config/settings.h"
#include "config/settings_document.h"
#include "config/settings_problem.h"
#include "persist/folder_check.h"

namespace pendrakel {
namespace {

static_assert(kMaxPathBaseLength <= INT8_MAX,
              "PathBaseLength is a signed 8-bit count");
static_assert(kMaxPathBaseLength < kSettingTextBytes,
              "a PathBase of the longest length fits its field");

// Backslash, backslash, question mark, backslash: the extended-length prefix
// of a long path, dropped before the file is opened.
constexpr std::string_view kExtendedLengthPrefix = "\\\\?\\";

const char* WithoutExtendedLengthPrefix(const char* path) {
  return std::string_view(path).starts_with(kExtendedLengthPrefix)
             ? path + kExtendedLengthPrefix.size()
             : path;
}

std::string_view View(const XmlText& text) {
  return reinterpret_cast<const char*>(text.get());
}

// What the steps produce besides Settings, and where a refusal is told.
struct Output {
  uint64_t& memoryMax;
  SettingsProblem* problem;  // null: nobody asks why
};

// The words for a refused text: a status, and for overflow the capacity.
using Explain = std::string (*)(int32_t status);

std::string ExplainNumber(int32_t status) {
  return status == kErrorOverflow ? "is out of range" : "is not a number";
}

template <size_t kCapacity>
std::string ExplainText(int32_t status) {
  if (status == kErrorOverflow) {
    return "is too long for its field (at most " +
           std::to_string(kCapacity - 1) + " bytes)";
  }
  return "holds a control character";
}

std::string ExplainPathBase(int32_t /*status*/) {
  return "is too long (at most " + std::to_string(kMaxPathBaseLength) +
         " bytes)";
}

int32_t Refuse(int32_t status, Output& out, const xmlNode* element,
               const char* attribute, std::string_view text, Explain explain) {
  if (status == kOk || out.problem == nullptr) return status;
  out.problem->where = reinterpret_cast<const char*>(element->name);
  if (attribute != nullptr) out.problem->where += std::string(" ") + attribute;
  out.problem->text = std::string(text);
  out.problem->why =
      status == kErrorOutOfMemory ? "does not fit in memory" : explain(status);
  return status;
}

// Hands the text of attribute `name` of `element` to `take`; does nothing when
// the element or the attribute is absent.
template <typename Take>
int32_t WithAttribute(const xmlNode* element, const char* name, Output& out,
                      Explain explain, Take take) {
  if (element == nullptr) return kOk;
  const SettingText attribute = SettingsDocument::Attribute(element, name);
  if (attribute.status != kOk || attribute.text == nullptr) {
    return Refuse(attribute.status, out, element, name, "", explain);
  }
  const std::string_view text = View(attribute.text);
  return Refuse(take(text), out, element, name, text, explain);
}

// Hands the text content of `element`, without the XML white space around
// it, to `take`; does nothing when the element is absent.
template <typename Take>
int32_t WithContent(const xmlNode* element, Output& out, Explain explain,
                    Take take) {
  if (element == nullptr) return kOk;
  const SettingText content = SettingsDocument::Content(element);
  if (content.status != kOk)
    return Refuse(content.status, out, element, nullptr, "", explain);
  const std::string_view text = TrimXmlWhiteSpace(View(content.text));
  return Refuse(take(text), out, element, nullptr, text, explain);
}

int32_t TakeIdleLimit(const SettingsDocument& document, Settings& settings,
                      Output& out) {
  return WithAttribute(document.FindSetting("GC"), "Limit", out, ExplainNumber,
                       [&](std::string_view text) {
                         return ParseIdleLimitMinutes(text, settings.IdleLimit);
                       });
}

int32_t TakeCookie(const SettingsDocument& document, Settings& settings,
                   Output& out) {
  const xmlNode* cookie = document.FindSetting("Cookie");
  const int32_t status =
      WithAttribute(cookie, "Distribute", out, ExplainText<kSettingTextBytes>,
                    [&](std::string_view text) {
                      settings.Distribute = IsTrueText(text);
                      return kOk;
                    });
  if (status != kOk) return status;
  const int32_t name_status =
      WithAttribute(cookie, "Name", out, ExplainText<kSettingTextBytes>,
                    [&](std::string_view text) {
                      return CopyHeaderText(text, settings.CookieName);
                    });
  if (name_status != kOk) return name_status;
  // The attributes end the Set-Cookie line: no control character, not even
  // the tab a header value may hold.
  return WithAttribute(cookie, "Attributes", out,
                       ExplainText<kSettingTextBytes>,
                       [&](std::string_view text) {
                         if (text.find('\t') != std::string_view::npos)
                           return kErrorTypeMismatch;
                         return CopyHeaderText(text, settings.CookieAttributes);
                       });
}

int32_t TakeCommandNames(const SettingsDocument& document, Settings& settings,
                         Output& out) {
  const xmlNode* names = document.FindSetting("CmdName");
  const struct {
    const char* attribute;
    char* field;
  } commands[] = {{"Get", settings.GetCmdName},
                  {"Set", settings.SetCmdName},
                  {"Del", settings.DelCmdName},
                  {"Nop", settings.NopCmdName}};
  for (const auto& command : commands) {
    char* field = command.field;
    const int32_t status = WithAttribute(
        names, command.attribute, out, ExplainText<kCommandNameBytes>,
        [field](std::string_view text) {
          return CopySettingText(text, field, kCommandNameBytes);
        });
    if (status != kOk) return status;
  }
  return kOk;
}

int32_t TakePathBase(const SettingsDocument& document, Settings& settings,
                     Output& out) {
  return WithContent(
      document.FindSetting("PathBase"), out, ExplainPathBase,
      [&](std::string_view text) {
        if (text.size() > kMaxPathBaseLength) return kErrorOverflow;
        const int32_t status = CopySettingText(text, settings.PathBase);
        if (status == kOk) {
          settings.PathBaseLength = static_cast<int8_t>(text.size());
        }
        return status;
      });
}

int32_t TakeDefaultContentType(const SettingsDocument& document,
                               Settings& settings, Output& out) {
  return WithContent(document.FindSetting("DefaultContentType"), out,
                     ExplainText<kSettingTextBytes>,
                     [&](std::string_view text) {
                       return CopyHeaderText(text, settings.DefaultContentType);
                     });
}

int32_t TakeMemoryMax(const SettingsDocument& document, Settings& /*settings*/,
                      Output& out) {
  return WithAttribute(document.FindSetting("Memory"), "Max", out,
                       ExplainNumber, [&](std::string_view text) {
                         uint64_t max = 0;
                         const int32_t status = ParseMemoryMaxBytes(text, max);
                         if (status == kOk) out.memoryMax = max;
                         return status;
                       });
}

// Refuses `text` of `attribute` of Persist for `why`.
int32_t RefusePersist(int32_t status, Output& out, const char* attribute,
                      std::string_view text, std::string why) {
  if (out.problem != nullptr) {
    *out.problem = SettingsProblem{std::string("Persist ") + attribute,
                                   std::string(text), std::move(why)};
  }
  return status;
}

// Persist: a Folder the store can keep its files in (tested here, so that
// the settings check and start-up refuse the same folders), and the Sync
// promise, "second" unless it says "always".
int32_t TakePersist(const SettingsDocument& document, Settings& settings,
                    Output& out) {
  const xmlNode* persist = document.FindSetting("Persist");
  if (persist == nullptr) return kOk;
  const SettingText folder = SettingsDocument::Attribute(persist, "Folder");
  if (folder.status != kOk) return folder.status;
  if (folder.text == nullptr)
    return RefusePersist(kErrorFail, out, "Folder", "", "is missing");
  const std::string_view path = View(folder.text);
  if (std::string why = CheckDataFolder(path); !why.empty())
    return RefusePersist(kErrorFail, out, "Folder", path, std::move(why));
  const SettingText sync = SettingsDocument::Attribute(persist, "Sync");
  if (sync.status != kOk) return sync.status;
  std::optional<SyncMode> mode = SyncMode::kSecond;
  if (sync.text != nullptr) mode = ParseSyncMode(View(sync.text));
  if (!mode) {
    return RefusePersist(kErrorTypeMismatch, out, "Sync", View(sync.text),
                         "is neither \"second\" nor \"always\"");
  }
  // The folder check bounds the path well within its field.
  static_assert(kMaxDataFolderBytes < kSettingTextBytes);
  CopySettingText(path, settings.PersistFolder);
  settings.PersistSync = *mode;
  return kOk;
}

using Step = int32_t (*)(const SettingsDocument&, Settings&, Output&);

// The settings are taken in this order.
constexpr Step kSteps[] = {
    TakeIdleLimit,           // GC
    TakeCookie,              // Cookie: Distribute, Name, then Attributes
    TakeCommandNames,        // CmdName: Get, Set, Del, Nop
    TakePathBase,            // PathBase, then PathBaseLength
    TakeDefaultContentType,  // DefaultContentType
    TakeMemoryMax,           // Memory: Max
    TakePersist,             // Persist: Folder, then Sync
};

int32_t RefuseFile(int32_t status, SettingsProblem* problem, std::string why) {
  if (problem != nullptr) *problem = SettingsProblem{"the file", "", why};
  return status;
}

}  // namespace

bool SettingsFilePresent(const char* path) {
  struct stat status {};
  if (lstat(path, &status) == 0) return true;
  // Nothing there. Any other failure (a folder that cannot be searched)
  // leaves the read to fail and say why.
  return errno != ENOENT && errno != ENOTDIR;
}

int32_t LoadSettings(const char* path, Settings& settings, uint64_t& memoryMax,
                     SettingsProblem* problem) {
  if (path == nullptr) return kErrorPointer;
  SettingsDocument document;
  std::string why;
  const int32_t status =
      document.Parse(WithoutExtendedLengthPrefix(path), &why);
  if (status != kOk) return RefuseFile(status, problem, why);
  if (document.Root() == nullptr)
    return RefuseFile(kErrorPointer, problem, "has no root element");
  // memoryMax is set only when the whole file was taken.
  uint64_t max = memoryMax;
  Output out{max, problem};
  for (const Step step : kSteps) {
    const int32_t step_status = step(document, settings, out);
    if (step_status != kOk) return step_status;
  }
  memoryMax = max;
  return kOk;
}

}  // namespace pendrakel
