// LoadSettings: takes the settings file's values into Settings and the
// memory maximum, one step per setting in a fixed order. The first failing step
// ends the load; the fields set by the steps before it keep their new values.
#include <cstdint>
#include <string_view>

#include "config/setting_values.h"
#include "config/settings.h"
#include "config/settings_document.h"

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

// Hands the text of attribute `name` of `element` to `take`; does nothing when
// the element or the attribute is absent.
template <typename Take>
int32_t WithAttribute(const xmlNode* element, const char* name, Take take) {
  if (element == nullptr) return kOk;
  const SettingText attribute = SettingsDocument::Attribute(element, name);
  if (attribute.status != kOk || attribute.text == nullptr) {
    return attribute.status;
  }
  return take(View(attribute.text));
}

// Hands the text content of `element` to `take`; does nothing when the
// element is absent.
template <typename Take>
int32_t WithContent(const xmlNode* element, Take take) {
  if (element == nullptr) return kOk;
  const SettingText content = SettingsDocument::Content(element);
  if (content.status != kOk) return content.status;
  return take(View(content.text));
}

int32_t TakeIdleLimit(const SettingsDocument& document, Settings& settings,
                      uint64_t& /*memoryMax*/) {
  return WithAttribute(document.FindSetting("GC"), "Limit",
                       [&](std::string_view text) {
                         return ParseIdleLimitMinutes(text, settings.IdleLimit);
                       });
}

int32_t TakeCookie(const SettingsDocument& document, Settings& settings,
                   uint64_t& /*memoryMax*/) {
  const xmlNode* cookie = document.FindSetting("Cookie");
  const int32_t status =
      WithAttribute(cookie, "Distribute", [&](std::string_view text) {
        settings.Distribute = IsTrueText(text);
        return kOk;
      });
  if (status != kOk) return status;
  const int32_t name_status =
      WithAttribute(cookie, "Name", [&](std::string_view text) {
        return CopyHeaderText(text, settings.CookieName);
      });
  if (name_status != kOk) return name_status;
  // The attributes end the Set-Cookie line: no control character, not even
  // the tab a header value may hold.
  return WithAttribute(cookie, "Attributes", [&](std::string_view text) {
    if (text.find('\t') != std::string_view::npos) return kErrorTypeMismatch;
    return CopyHeaderText(text, settings.CookieAttributes);
  });
}

int32_t TakeCommandNames(const SettingsDocument& document, Settings& settings,
                         uint64_t& /*memoryMax*/) {
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
    const int32_t status =
        WithAttribute(names, command.attribute, [field](std::string_view text) {
          return CopySettingText(text, field, kCommandNameBytes);
        });
    if (status != kOk) return status;
  }
  return kOk;
}

int32_t TakePathBase(const SettingsDocument& document, Settings& settings,
                     uint64_t& /*memoryMax*/) {
  return WithContent(
      document.FindSetting("PathBase"), [&](std::string_view text) {
        if (text.size() > kMaxPathBaseLength) return kErrorOverflow;
        const int32_t status = CopySettingText(text, settings.PathBase);
        if (status == kOk) {
          settings.PathBaseLength = static_cast<int8_t>(text.size());
        }
        return status;
      });
}

int32_t TakeDefaultContentType(const SettingsDocument& document,
                               Settings& settings, uint64_t& /*memoryMax*/) {
  return WithContent(document.FindSetting("DefaultContentType"),
                     [&](std::string_view text) {
                       return CopyHeaderText(text, settings.DefaultContentType);
                     });
}

int32_t TakeMemoryMax(const SettingsDocument& document, Settings& /*settings*/,
                      uint64_t& memoryMax) {
  return WithAttribute(document.FindSetting("Memory"), "Max",
                       [&](std::string_view text) {
                         uint64_t max = 0;
                         const int32_t status = ParseMemoryMaxBytes(text, max);
                         if (status == kOk) memoryMax = max;
                         return status;
                       });
}

using Step = int32_t (*)(const SettingsDocument&, Settings&, uint64_t&);

// The settings are taken in this order.
constexpr Step kSteps[] = {
    TakeIdleLimit,           // GC
    TakeCookie,              // Cookie: Distribute, Name, then Attributes
    TakeCommandNames,        // CmdName: Get, Set, Del, Nop
    TakePathBase,            // PathBase, then PathBaseLength
    TakeDefaultContentType,  // DefaultContentType
    TakeMemoryMax,           // Memory: Max
};

}  // namespace

int32_t LoadSettings(const char* path, Settings& settings,
                     uint64_t& memoryMax) {
  if (path == nullptr) return kErrorPointer;
  SettingsDocument document;
  const int32_t status = document.Parse(WithoutExtendedLengthPrefix(path));
  if (status != kOk) return status;
  if (document.Root() == nullptr) return kErrorPointer;
  for (const Step step : kSteps) {
    const int32_t step_status = step(document, settings, memoryMax);
    if (step_status != kOk) return step_status;
  }
  return kOk;
}

}  // namespace pendrakel
