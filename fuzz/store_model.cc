#include "fuzz/store_model.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

#include "fuzz/fuzz_check.h"
#include "request/cookie_resolution.h"
#include "request/header_block.h"
#include "request/value_commands.h"

namespace pendrakel::fuzz {

const char* const kCounterLineNames[kCounterCount] = {
    "X-Counter-CMD-Stat",         "X-Counter-CMD-Get",
    "X-Counter-CMD-Get_OK",       "X-Counter-CMD-Get-NotFound",
    "X-Counter-CMD-Set",          "X-Counter-CMD-Set-OK",
    "X-Counter-CMD-Set-NoMemory", "X-Counter-CMD-Del",
    "X-Counter-CMD-Nop",          "X-Counter-CMD-Unknown",
    "X-Counter-ValuesCollect",    "X-Counter-ValuesCreate",
    "X-Counter-ValuesError",      "X-Counter-ValueCollect",
    "X-Counter-ValueCreate",      "X-Counter-ValueReplace",
    "X-Counter-ValueDelete",      "X-Counter-CookieDistribute",
};

namespace {

constexpr char kOk[] = "200 OK(Pendrakel)";
constexpr char kCreated[] = "201 Created(Pendrakel)";
constexpr char kNoContent[] = "204 No Content(Pendrakel)";
constexpr char kNotFound[] = "404 Not Found(Pendrakel)";
constexpr char kServerError[] = "500 Internal Server Error(Pendrakel)";
constexpr char kNotImplemented[] = "501 Not Implemented(Pendrakel)";
constexpr char kLengthZero[] = "Content-Length: 0\r\n";
// The closing empty line and the terminator a header line must leave room
// for in the block.
constexpr size_t kClosingBytes = 3;

enum class Result { kOk, kNotFound, kNoMemory };

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  auto lower = [](unsigned char c) {
    return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c;
  };
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(),
                    [&](char x, char y) { return lower(x) == lower(y); });
}

// A decimal number of seconds as the time-out header is read: blanks, an
// optional sign, digits saturating at 2^32 - 1, a minus negating modulo 2^32.
uint32_t TimeoutSeconds(std::string_view text) {
  size_t i = 0;
  auto blank = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
  while (i < text.size() && blank(text[i])) ++i;
  const bool negative = i < text.size() && text[i] == '-';
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) ++i;
  uint64_t number = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    number = std::min<uint64_t>(number * 10 + (text[i] - '0'), UINT32_MAX);
  }
  const auto seconds = static_cast<uint32_t>(number);
  return negative ? 0u - seconds : seconds;
}

bool IsLive(const StoreModel::Entry& entry, int64_t now) {
  return entry.expiry == 0 || now < entry.expiry;
}

bool IsIdle(int64_t lastAccess, int64_t now, int64_t limit) {
  return lastAccess != 0 && lastAccess <= now - limit;
}

std::string GuidDigits(const Guid& guid) {
  char digits[33];
  std::snprintf(digits, sizeof digits, "%08x%04x%04x", guid.Data1, guid.Data2,
                guid.Data3);
  for (int i = 0; i < 8; ++i) {
    std::snprintf(digits + 16 + 2 * i, 3, "%02x", guid.Data4[i]);
  }
  return digits;
}

void AppendNumberLine(std::string& out, std::string_view name,
                      uint64_t number) {
  char digits[20];
  const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, number);
  (void)ec;  // 20 digits hold any 64-bit number
  out.append(name).append(": ").append(digits, end).append("\r\n");
}

}  // namespace

std::string CString(std::string_view text) {
  return std::string(text.substr(0, text.find('\0')));
}

std::string Variable(const std::optional<std::string>& value, size_t capacity) {
  if (!value || TooLong(value, capacity)) return "";
  return CString(*value);
}

bool TooLong(const std::optional<std::string>& value, size_t capacity) {
  return value && value->size() + 1 > capacity;
}

// The response being built for one request.
struct StoreModel::Reply {
  bool commandForm = false;
  ExpectedResponse response;

  void Line(std::string_view line) { response.headers += line; }
  void ResultLines(Result result) {
    if (!commandForm) return;
    if (result == Result::kOk) {
      Line("x-result-code: 0\r\nx-result-reason: OK\r\n");
    } else if (result == Result::kNotFound) {
      Line("x-result-code: 1\r\nx-result-reason: Not Found\r\n");
    } else {
      Line("x-result-code: 1\r\nx-result-reason: No Memory\r\n");
    }
  }
  // Result lines, "Content-Length: 0", the empty line; the command form
  // always answers 200.
  void SendResult(Result result, const char* methodStatus) {
    ResultLines(result);
    Line(kLengthZero);
    Line("\r\n");
    response.status = commandForm ? kOk : methodStatus;
  }
};

ExpectedResponse StoreModel::Handle(const RequestSpec& request, int64_t now,
                                    const std::vector<GuidDraw>& guids) {
  const std::string method = CString(request.method);
  if (method == "STAT") {
    Check(guids.empty(), "STAT drew a GUID");
    return StatReport();
  }
  // The value name of get, set and del too long to read, or a cookie too
  // long to read while cookies are not handed out, is refused as a request
  // with no collection, before any is resolved.
  if ((method == "POST" && NamesAValue(Remainder(request)) &&
       TooLong(request.name, kParamBytes)) ||
      (!settings_.Distribute && TooLong(request.cookie, kCookieTextBytes))) {
    Check(guids.empty(), "a GUID was drawn for a refused request");
    return Refusal();
  }
  Reply reply;
  Collection* values = Resolve(request, now, guids, reply.response.headers);
  if (values == nullptr) return Refusal();
  if (method == "POST") {
    reply.commandForm = true;
    Command(request, *values, now, reply);
  } else {
    Method(request, method, *values, now, reply);
  }
  return reply.response;
}

ExpectedResponse StoreModel::Refusal() {
  Count(kValuesError);
  return {kServerError, std::string(kLengthZero) + "\r\n", "", 0};
}

bool StoreModel::NamesAValue(std::string_view command) const {
  return EqualsIgnoringAsciiCase(command, settings_.GetCmdName) ||
         EqualsIgnoringAsciiCase(command, settings_.SetCmdName) ||
         EqualsIgnoringAsciiCase(command, settings_.DelCmdName);
}

ExpectedResponse StoreModel::StatReport() {
  ExpectedResponse report{kOk, "", "", 0};
  std::string& block = report.headers;
  block.reserve(640);
  AppendNumberLine(block, "X-Memory-Total", total_);
  for (size_t i = 0; i < kCounterCount; ++i) {
    AppendNumberLine(block, kCounterLineNames[i], counters_[i]);
  }
  block.append(kLengthZero).append("\r\n");
  Count(kCmdStat);
  return report;
}

StoreModel::Collection* StoreModel::Resolve(const RequestSpec& request,
                                            int64_t now,
                                            const std::vector<GuidDraw>& guids,
                                            std::string& headers) {
  const std::string cookie = Variable(request.cookie, kCookieTextBytes);
  if (!settings_.Distribute) {
    Check(guids.empty(), "a GUID was drawn with Distribute off");
    Collection* values = &shared_;
    if (!cookie.empty()) {
      auto [it, created] = table_.try_emplace(cookie);
      if (created) Count(kValuesCreate);
      values = &it->second;
    }
    values->lastAccess = now;
    return values;
  }
  if (!cookie.empty()) {
    auto it = table_.find(cookie);
    if (it != table_.end()) {
      Check(guids.empty(), "a GUID was drawn for a known cookie");
      it->second.lastAccess = now;
      return &it->second;
    }
  }
  return Distribute(now, guids, headers);
}

// A new collection under the first drawn cookie not yet in the table; none
// when a draw fails or every attempt is taken.
StoreModel::Collection* StoreModel::Distribute(
    int64_t now, const std::vector<GuidDraw>& guids, std::string& headers) {
  Check(guids.size() <= static_cast<size_t>(kCookieAttempts),
        "more GUIDs drawn than cookie attempts");
  for (size_t i = 0; i < guids.size(); ++i) {
    const bool last = i + 1 == guids.size();
    if (!guids[i]) {
      Check(last, "GUIDs drawn after a failed draw");
      return nullptr;
    }
    std::string cookie = settings_.CookieName;
    if (!cookie.empty()) cookie += '=';
    cookie += GuidDigits(*guids[i]);
    if (table_.count(cookie) != 0) continue;
    Check(last, "GUIDs drawn after a free cookie was found");
    headers = "Set-Cookie: " + cookie + "\r\n";
    Count(kCookieDistribute);
    Count(kValuesCreate);
    Collection& values = table_[cookie];
    values.lastAccess = now;
    return &values;
  }
  Check(guids.size() == static_cast<size_t>(kCookieAttempts),
        "gave up on a new cookie before every attempt was made");
  return nullptr;
}

// The path after its first PathBaseLength bytes; empty when it is shorter.
std::string StoreModel::Remainder(const RequestSpec& request) const {
  const std::string path = CString(request.path);
  const auto skip =
      static_cast<size_t>(std::max<int>(settings_.PathBaseLength, 0));
  return skip >= path.size() ? std::string() : path.substr(skip);
}

void StoreModel::Command(const RequestSpec& request, Collection& values,
                         int64_t now, Reply& reply) {
  const std::string command = Remainder(request);
  const std::string name = Variable(request.name, kParamBytes);
  if (EqualsIgnoringAsciiCase(command, settings_.GetCmdName)) {
    Read(values, name, now, /*withBody=*/true, reply);
  } else if (EqualsIgnoringAsciiCase(command, settings_.SetCmdName)) {
    Store(request, values, name, now, reply);
  } else if (EqualsIgnoringAsciiCase(command, settings_.DelCmdName)) {
    Delete(values, name, reply);
  } else if (EqualsIgnoringAsciiCase(command, settings_.NopCmdName)) {
    reply.SendResult(Result::kOk, kOk);
    Count(kCmdNop);
  } else {
    reply.commandForm = false;  // no result lines for an unknown command
    reply.SendResult(Result::kOk, kNotFound);
    Count(kCmdUnknown);
  }
}

void StoreModel::Method(const RequestSpec& request, std::string_view method,
                        Collection& values, int64_t now, Reply& reply) {
  const std::string name = Remainder(request);
  if (method == "GET" || method == "HEAD") {
    Read(values, name, now, method == "GET", reply);
  } else if (method == "PUT") {
    Store(request, values, name, now, reply);
  } else if (method == "DELETE") {
    Delete(values, name, reply);
  } else if (method == "NOOP") {
    reply.SendResult(Result::kOk, kOk);
    Count(kCmdNop);
  } else {
    reply.SendResult(Result::kOk, kNotImplemented);
    Count(kCmdUnknown);
  }
}

void StoreModel::Read(Collection& values, const std::string& name, int64_t now,
                      bool withBody, Reply& reply) {
  auto it = values.entries.find(name);
  if (it != values.entries.end() && !IsLive(it->second, now)) {
    total_ -= it->second.bytes.size();
    values.entries.erase(it);
    it = values.entries.end();
    Count(kValueCollect);
  }
  Count(kCmdGet);
  if (it == values.entries.end()) {
    reply.SendResult(Result::kNotFound, kNotFound);
    Count(kCmdGetNotFound);
    return;
  }
  const Entry& entry = it->second;
  reply.ResultLines(Result::kOk);
  AppendNumberLine(reply.response.headers, "Content-Length",
                   entry.bytes.size());
  const std::string type = entry.contentType.empty()
                               ? std::string(settings_.DefaultContentType)
                               : entry.contentType;
  const std::string typeLine = "Content-Type: " + type + "\r\n";
  // A type with a control character (but a tab) is never sent: the model's
  // own statement of the rule, so that a fault in the extension's shows.
  const bool headerSafe = std::all_of(
      type.begin(), type.end(),
      [](unsigned char c) { return c == '\t' || (c >= 0x20 && c != 0x7f); });
  if (!type.empty() && headerSafe &&
      typeLine.size() <=
          kHeaderBlockBytes - kClosingBytes - reply.response.headers.size()) {
    reply.Line(typeLine);
  }
  reply.Line("\r\n");
  reply.response.status = kOk;
  if (withBody) {
    reply.response.body = entry.bytes;
    reply.response.writeCalls = 1;
  }
  Count(kCmdGetOk);
}

void StoreModel::Store(const RequestSpec& request, Collection& values,
                       const std::string& name, int64_t now, Reply& reply) {
  const uint64_t sent = request.hasBody ? request.body.size() : 0;
  const uint64_t size = sent + request.unsentBytes;
  // The fake host hands over min(preload, deliver) bytes at once and the
  // rest in pieces until `deliver` bytes; a piece of 0 ends the body.
  const bool complete = !request.hasBody ||
                        (request.unsentBytes == 0 && request.deliver >= size &&
                         (request.preload >= size || request.piece > 0));
  const bool admitted =
      memoryMax_ == 0 || (size <= memoryMax_ && total_ <= memoryMax_ - size);
  Count(kCmdSet);
  if (!complete || !admitted) {
    reply.SendResult(Result::kNoMemory, kServerError);
    Count(kCmdSetNoMemory);
    return;
  }
  const uint32_t timeout =
      TimeoutSeconds(Variable(request.timeout, kParamBytes));
  Entry entry{request.hasBody ? request.body : "", CString(request.contentType),
              timeout == 0 ? 0 : now + static_cast<int64_t>(timeout)};
  total_ += size;
  auto [it, created] = values.entries.try_emplace(name);
  if (!created) total_ -= it->second.bytes.size();
  it->second = std::move(entry);
  Count(created ? kValueCreate : kValueReplace);
  reply.SendResult(Result::kOk, created ? kCreated : kNoContent);
  Count(kCmdSetOk);
}

void StoreModel::Delete(Collection& values, const std::string& name,
                        Reply& reply) {
  auto it = values.entries.find(name);
  const bool removed = it != values.entries.end();
  if (removed) {
    total_ -= it->second.bytes.size();
    values.entries.erase(it);
    Count(kValueDelete);
  }
  reply.SendResult(Result::kOk, removed ? kOk : kNotFound);
  Count(kCmdDel);
}

uint64_t StoreModel::SumOfSizes() const {
  uint64_t sum = 0;
  auto add = [&](const Collection& values) {
    for (const auto& [name, entry] : values.entries) sum += entry.bytes.size();
  };
  for (const auto& [cookie, values] : table_) add(values);
  add(shared_);
  return sum;
}

void StoreModel::Drop(Collection& values) {
  for (const auto& [name, entry] : values.entries) {
    total_ -= entry.bytes.size();
  }
  values = Collection{};
}

void StoreModel::CollectIdle(int64_t now) {
  const int64_t limit = settings_.IdleLimit;
  if (limit == 0) return;
  for (auto it = table_.begin(); it != table_.end();) {
    if (!IsIdle(it->second.lastAccess, now, limit)) {
      ++it;
      continue;
    }
    Drop(it->second);
    it = table_.erase(it);
    Count(kValuesCollect);
  }
  if (IsIdle(shared_.lastAccess, now, limit)) {
    Drop(shared_);
    Count(kValuesCreate);
    Count(kValuesCollect);
  }
}

void StoreModel::CollectExpired(int64_t now) {
  auto collect = [&](Collection& values) {
    for (auto it = values.entries.begin(); it != values.entries.end();) {
      if (IsLive(it->second, now)) {
        ++it;
        continue;
      }
      total_ -= it->second.bytes.size();
      it = values.entries.erase(it);
      Count(kValueCollect);
    }
  };
  for (auto& [cookie, values] : table_) collect(values);
  collect(shared_);
}

}  // namespace pendrakel::fuzz
