// SettingsProblem: why a settings file was refused, in words: what part of
// the file (the file itself, or an element and attribute), the text found
// there, and why it cannot be taken. The loader fills it when asked to; the
// module never asks (it prints nothing), the host's settings check does.
//
// A plain value; any thread.
#ifndef PENDRAKEL_CONFIG_SETTINGS_PROBLEM_H_
#define PENDRAKEL_CONFIG_SETTINGS_PROBLEM_H_

#include <cstddef>
#include <string>

namespace pendrakel {

// Bytes of a refused text shown in a description.
inline constexpr size_t kShownTextBytes = 64;

struct SettingsProblem {
  std::string where;  // "the file", or an element and attribute: "GC Limit"
  std::string text;   // the text refused; empty for the file itself
  std::string why;    // "is not a number", "is not well-formed at line 3: ..."

  // One line: `GC Limit "abc" is not a number`. The text is shown with
  // control characters escaped, and cut after kShownTextBytes.
  std::string Describe() const;
};

}  // namespace pendrakel

#endif  // PENDRAKEL_CONFIG_SETTINGS_PROBLEM_H_
