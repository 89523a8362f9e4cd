// Checks for the fuzz targets: a broken expectation prints what was expected
// and what happened (bytes outside printable ASCII escaped) and aborts, which
// libFuzzer reports as a crash and saves the input for.
#ifndef PENDRAKEL_FUZZ_FUZZ_CHECK_H_
#define PENDRAKEL_FUZZ_FUZZ_CHECK_H_

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <type_traits>

namespace pendrakel::fuzz {

// `text` with \r, \n and non-printable bytes written as escapes.
inline std::string Escaped(std::string_view text) {
  std::string out;
  for (unsigned char c : text) {
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c < 0x20 || c >= 0x7f || c == '\\') {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

[[noreturn]] inline void Fail(std::string_view what) {
  std::fprintf(stderr, "fuzz check failed: %.*s\n",
               static_cast<int>(what.size()), what.data());
  std::abort();
}

inline void Check(bool ok, std::string_view what) {
  if (!ok) Fail(what);
}

template <typename T>
void CheckEqual(const T& expected, const T& actual, std::string_view what) {
  if (expected == actual) return;
  std::string message(what);
  if constexpr (std::is_convertible_v<T, std::string_view>) {
    message += "\n  expected: \"" + Escaped(expected) + "\"";
    message += "\n  actual:   \"" + Escaped(actual) + "\"";
  } else {
    message += "\n  expected: " + std::to_string(expected);
    message += "\n  actual:   " + std::to_string(actual);
  }
  Fail(message);
}

}  // namespace pendrakel::fuzz

#endif  // PENDRAKEL_FUZZ_FUZZ_CHECK_H_
