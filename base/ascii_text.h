// Small ASCII text helpers shared by the module and the host: comparison
// without regard to letter case, trimming of blanks, the test for a text
// that may stand as a header value, and sets of bytes. Pure functions and
// constant objects; any thread may call them.
#ifndef PENDRAKEL_BASE_ASCII_TEXT_H_
#define PENDRAKEL_BASE_ASCII_TEXT_H_

#include <string_view>

namespace pendrakel {

// The blanks trimmed from setting and header texts: space and tab.
inline constexpr std::string_view kBlanks = " \t";

inline constexpr char AsciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Whether `a` and `b` are equal with ASCII letters compared without regard
// to case; other bytes compare exactly.
inline constexpr bool EqualsIgnoringAsciiCase(std::string_view a,
                                              std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

// `text` without the blanks at its start and end.
inline constexpr std::string_view TrimBlanks(std::string_view text) {
  const size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  const size_t last = text.find_last_not_of(kBlanks);
  return text.substr(first, last - first + 1);
}

// Whether `text` can stand as a header value: no control character but a
// tab, so that it cannot end its line and start another.
inline constexpr bool IsHeaderValue(std::string_view text) {
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && byte != '\t') || byte == 0x7f) return false;
  }
  return true;
}

// A set of bytes, each tested with one load: a set given to
// find_first_not_of is searched again for every byte of the text.
class ByteSet {
 public:
  constexpr explicit ByteSet(std::string_view members) {
    for (const char c : members) in_[static_cast<unsigned char>(c)] = true;
  }
  constexpr bool Contains(char c) const {
    return in_[static_cast<unsigned char>(c)];
  }
  // Whether every byte of `text` is in the set (true for an empty text).
  constexpr bool ContainsAll(std::string_view text) const {
    for (const char c : text) {
      if (!Contains(c)) return false;
    }
    return true;
  }
  // Where the first byte of `text` that is in the set stands, or npos.
  constexpr size_t FindIn(std::string_view text) const {
    for (size_t i = 0; i < text.size(); ++i) {
      if (Contains(text[i])) return i;
    }
    return std::string_view::npos;
  }

 private:
  bool in_[256] = {};
};

}  // namespace pendrakel

#endif  // PENDRAKEL_BASE_ASCII_TEXT_H_
