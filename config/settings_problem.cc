#include "config/settings_problem.h"

namespace pendrakel {
namespace {

std::string Shown(const std::string& text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string shown = "\"";
  for (size_t i = 0; i < text.size() && i < kShownTextBytes; ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x20 || byte == 0x7f) {
      shown += "\\x";
      shown += kHex[byte >> 4];
      shown += kHex[byte & 0xf];
    } else {
      shown += text[i];
    }
  }
  shown += '"';
  if (text.size() > kShownTextBytes)
    shown += "... (" + std::to_string(text.size()) + " bytes)";
  return shown;
}

}  // namespace

std::string SettingsProblem::Describe() const {
  if (text.empty() && where == "the file") return where + " " + why;
  return where + " " + Shown(text) + " " + why;
}

}  // namespace pendrakel
