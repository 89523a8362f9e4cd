// Setting values: how the texts of the settings file become the values of
// the settings. Pure functions of their arguments; any thread may call them.
//
// Numbers are plain decimal: optional blanks (spaces, tabs), an optional sign,
// one or more digits 0-9, optional blanks. Anything else, the empty text
// included, is not a number (kErrorTypeMismatch); a number outside the range
// of its target is kErrorOverflow. On failure the output is left alone.
#ifndef PENDRAKEL_CONFIG_SETTING_VALUES_H_
#define PENDRAKEL_CONFIG_SETTING_VALUES_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace pendrakel {

// GC/Limit is written in minutes; IdleLimit is kept in seconds.
inline constexpr int64_t kSecondsPerMinute = 60;

// A signed 64-bit count of minutes, as seconds. The seconds must fit the
// signed 64-bit range too (kErrorOverflow otherwise).
int32_t ParseIdleLimitMinutes(std::string_view text, int64_t& seconds);

// An unsigned 64-bit count of bytes. A leading '+' is accepted; a '-' before
// the digits is out of range (kErrorOverflow), "-0" included.
int32_t ParseMemoryMaxBytes(std::string_view text, uint64_t& bytes);

// `text` without the XML white space (space, tab, CR, LF) at its start and
// end: how an element's text is taken, so that a pretty-printed element
// (its text on a line of its own, indented) means what it says.
std::string_view TrimXmlWhiteSpace(std::string_view text);

// Whether `text` is "true" with ASCII letters compared without regard to
// case. Any other text, blanks around "true" included, is false.
bool IsTrueText(std::string_view text);

// Copies `text` and a terminator into `field` of `capacity` bytes. A text of
// `capacity` bytes or more does not fit: kErrorOverflow, `field` unchanged.
int32_t CopySettingText(std::string_view text, char* field, size_t capacity);

template <size_t kCapacity>
int32_t CopySettingText(std::string_view text, char (&field)[kCapacity]) {
  return CopySettingText(text, field, kCapacity);
}

// As CopySettingText, for a text that goes into a response header line: a
// control character other than a tab (CR and LF would end the line and
// start another) is refused with kErrorTypeMismatch, `field` unchanged.
int32_t CopyHeaderText(std::string_view text, char* field, size_t capacity);

template <size_t kCapacity>
int32_t CopyHeaderText(std::string_view text, char (&field)[kCapacity]) {
  return CopyHeaderText(text, field, kCapacity);
}

}  // namespace pendrakel

#endif  // PENDRAKEL_CONFIG_SETTING_VALUES_H_
