#include "config/settings_problem.h"

namespace pendrakel {

std::string QuoteSettingText(std::string_view text, size_t shownBytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string shown = "\"";
  for (size_t i = 0; i < text.size() && i < shownBytes; ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x20 || byte == 0x7f || byte == '"' || byte == '\\') {
      shown += "\\x";
      shown += kHex[byte >> 4];
      shown += kHex[byte & 0xf];
    } else {
      shown += text[i];
    }
  }
  shown += '"';
  if (text.size() > shownBytes)
    shown += "... (" + std::to_string(text.size()) + " bytes)";
  return shown;
}

std::string SettingsProblem::Describe(size_t shownBytes) const {
  if (text.empty() && where == "the file") return where + " " + why;
  return where + " " + QuoteSettingText(text, shownBytes) + " " + why;
}

}  // namespace pendrakel
