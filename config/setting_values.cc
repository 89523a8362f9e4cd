#include "config/setting_values.h"

#include <charconv>
#include <cstring>
#include <limits>
#include <optional>
#include <system_error>

#include "base/ascii_text.h"
#include "config/settings.h"

namespace pendrakel {
namespace {

constexpr std::string_view kDecimalDigits = "0123456789";

// A decimal number split into its sign and digits. `digits` points into the
// text it came from, right after the sign if there was one.
struct DecimalText {
  bool negative;
  std::string_view digits;
};

std::optional<DecimalText> SplitDecimal(std::string_view text) {
  std::string_view digits = TrimBlanks(text);
  bool negative = false;
  if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
    negative = digits.front() == '-';
    digits.remove_prefix(1);
  }
  if (digits.empty() ||
      digits.find_first_not_of(kDecimalDigits) != std::string_view::npos) {
    return std::nullopt;
  }
  return DecimalText{negative, digits};
}

// Converts `text` (digits only, after an optional '-') into `value`.
template <typename Integer>
int32_t FromDecimal(std::string_view text, Integer& value) {
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (error == std::errc::result_out_of_range) return kErrorOverflow;
  if (error != std::errc() || stop != end) return kErrorTypeMismatch;
  return kOk;
}

}  // namespace

int32_t ParseIdleLimitMinutes(std::string_view text, int64_t& seconds) {
  const std::optional<DecimalText> decimal = SplitDecimal(text);
  if (!decimal) return kErrorTypeMismatch;
  // from_chars takes a '-' but not a '+': keep the minus sign that precedes
  // the digits in the original text.
  const std::string_view number =
      decimal->negative ? std::string_view(decimal->digits.data() - 1,
                                           decimal->digits.size() + 1)
                        : decimal->digits;
  int64_t minutes = 0;
  const int32_t status = FromDecimal(number, minutes);
  if (status != kOk) return status;
  constexpr int64_t kMaxMinutes =
      std::numeric_limits<int64_t>::max() / kSecondsPerMinute;
  constexpr int64_t kMinMinutes =
      std::numeric_limits<int64_t>::min() / kSecondsPerMinute;
  if (minutes > kMaxMinutes || minutes < kMinMinutes) return kErrorOverflow;
  seconds = minutes * kSecondsPerMinute;
  return kOk;
}

int32_t ParseMemoryMaxBytes(std::string_view text, uint64_t& bytes) {
  const std::optional<DecimalText> decimal = SplitDecimal(text);
  if (!decimal) return kErrorTypeMismatch;
  if (decimal->negative) return kErrorOverflow;
  uint64_t value = 0;
  const int32_t status = FromDecimal(decimal->digits, value);
  if (status != kOk) return status;
  bytes = value;
  return kOk;
}

std::string_view TrimXmlWhiteSpace(std::string_view text) {
  constexpr std::string_view kXmlWhiteSpace = " \t\r\n";
  const size_t first = text.find_first_not_of(kXmlWhiteSpace);
  if (first == std::string_view::npos) return text.substr(0, 0);
  const size_t last = text.find_last_not_of(kXmlWhiteSpace);
  return text.substr(first, last - first + 1);
}

bool IsTrueText(std::string_view text) {
  return EqualsIgnoringAsciiCase(text, "true");
}

int32_t CopySettingText(std::string_view text, char* field, size_t capacity) {
  if (text.size() >= capacity) return kErrorOverflow;
  std::memcpy(field, text.data(), text.size());
  field[text.size()] = '\0';
  return kOk;
}

int32_t CopyHeaderText(std::string_view text, char* field, size_t capacity) {
  if (!IsHeaderValue(text)) return kErrorTypeMismatch;
  return CopySettingText(text, field, capacity);
}

}  // namespace pendrakel
