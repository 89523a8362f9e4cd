// SettingsProblem: why a settings file was refused, in words: what part of
// the file (the file itself, or an element and attribute), the text found
// there, and why it cannot be taken. The loader fills it when asked to: the
// host's settings check does, and the module, which prints only what its
// persistence must tell (a refused Persist element among it).
//
// A plain value; any thread.
#ifndef PENDRAKEL_CONFIG_SETTINGS_PROBLEM_H_
#define PENDRAKEL_CONFIG_SETTINGS_PROBLEM_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace pendrakel {

// Bytes of a refused text shown in a description.
inline constexpr size_t kShownTextBytes = 64;

// `text` in double quotes, safe to print on one line: control characters,
// '"' and '\\' written as \xHH, so that no text of a settings file can end
// the line or the quotes and pose as more of what is printed. Cut after
// `shownBytes`, with the length added: "nnnn..."... (300 bytes).
std::string QuoteSettingText(std::string_view text,
                             size_t shownBytes = SIZE_MAX);

struct SettingsProblem {
  std::string where;  // "the file", or an element and attribute: "GC Limit"
  std::string text;   // the text refused; empty for the file itself
  std::string why;    // "is not a number", "is not well-formed at line 3: ..."

  // One line: `GC Limit "abc" is not a number`. The text is quoted with
  // QuoteSettingText and cut after `shownBytes`.
  std::string Describe(size_t shownBytes = kShownTextBytes) const;
};

}  // namespace pendrakel

#endif  // PENDRAKEL_CONFIG_SETTINGS_PROBLEM_H_
