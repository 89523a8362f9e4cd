#include "request/cookie_resolution.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <utility>

#include "config/settings.h"
#include "request/counters.h"
#include "request/extension_state.h"
#include "request/guid.h"
#include "request/host_calls.h"
#include "request/response.h"
#include "store/cookie_table.h"
#include "store/shared_values.h"
#include "store/values.h"
#include "store/values_ref.h"

namespace pendrakel {
namespace {

// Longest cookie made here: a name, "=", 32 digits.
constexpr size_t kMadeCookieBytes = kSettingTextBytes + 1 + 32;

// The value of a Set-Cookie line: the cookie, then "; " and the attributes.
constexpr std::string_view kAttributesSeparator = "; ";
constexpr size_t kSetCookieBytes =
    kMadeCookieBytes + kAttributesSeparator.size() + kSettingTextBytes;
static_assert(kSetCookieBytes + sizeof "Set-Cookie: \r\n\r\n" <
                  kHeaderBlockBytes,
              "the Set-Cookie line always fits the empty header block");

// Makes the text of a new cookie into `out`; its length, or 0 when no random
// bytes could be had.
size_t MakeCookie(ExtensionState& state, char (&out)[kMadeCookieBytes]) {
  Guid guid;
  if (!state.makeGuid(&guid)) return 0;
  const std::string_view name = state.settings.CookieName;
  size_t length = 0;
  if (!name.empty()) {
    std::memcpy(out, name.data(), name.size());
    length = name.size();
    out[length++] = '=';
  }
  FormatGuidDigits(guid, out + length);
  return length + 32;
}

// The Set-Cookie value of `cookie`: the cookie alone without attributes,
// else written into `out`.
std::string_view SetCookieValue(const Settings& settings,
                                std::string_view cookie,
                                char (&out)[kSetCookieBytes]) {
  const std::string_view attributes = settings.CookieAttributes;
  if (attributes.empty()) return cookie;
  char* end = std::copy(cookie.begin(), cookie.end(), out);
  end =
      std::copy(kAttributesSeparator.begin(), kAttributesSeparator.end(), end);
  end = std::copy(attributes.begin(), attributes.end(), end);
  return std::string_view(out, end - out);
}

// A new collection under a newly made cookie, announced in `response`.
ValuesRef Distribute(ExtensionState& state, int64_t now, Response& response) {
  ValuesRef values =
      Values::Create(state.budget, &state.lazyFree, state.cookies.changes());
  if (!values) return {};
  values->Touch(now);
  for (int attempt = 0; attempt < kCookieAttempts; ++attempt) {
    char cookie[kMadeCookieBytes];
    const size_t length = MakeCookie(state, cookie);
    if (length == 0) break;
    const std::string_view text(cookie, length);
    const CookieTable::InsertOutcome outcome =
        state.cookies.Insert(text, values);
    // Taken: never share another client's collection.
    if (outcome == CookieTable::InsertOutcome::kTaken) continue;
    if (outcome == CookieTable::InsertOutcome::kNoMemory) break;
    char line[kSetCookieBytes];
    response.AddField("Set-Cookie", SetCookieValue(state.settings, text, line));
    state.counters.Add(Counter::kCookieDistribute);
    state.counters.Add(Counter::kValuesCreate);
    return values;
  }
  return {};
}

}  // namespace

ValuesRef ResolveValues(ExtensionState& state, EXTENSION_CONTROL_BLOCK* ecb,
                        int64_t now, Response& response) {
  char cookie[kCookieTextBytes];
  const VariableRead read =
      ReadVariable(ecb, "HTTP_COOKIE", cookie, sizeof cookie);
  const std::string_view text(cookie);
  if (!state.settings.Distribute) {
    // A cookie too long to read is refused rather than taken for none,
    // which would put the client in the collection every cookieless client
    // shares. (Handing out cookies, it gets a fresh one, as an unknown
    // cookie does.)
    if (read == VariableRead::kTooLong) return {};
    if (text.empty()) return state.shared.Acquire(now);
    CookieTable::AcquireResult found = state.cookies.AcquireOrCreate(text, now);
    if (found.created) state.counters.Add(Counter::kValuesCreate);
    return std::move(found.values);
  }
  if (!text.empty()) {
    if (ValuesRef values = state.cookies.Acquire(text, now)) return values;
  }
  return Distribute(state, now, response);
}

void RefuseRequest(ExtensionState& state, EXTENSION_CONTROL_BLOCK* ecb) {
  Response response(ecb);
  response.SendWithoutBody(Status::kServerError);
  state.counters.Add(Counter::kValuesError);
}

}  // namespace pendrakel
