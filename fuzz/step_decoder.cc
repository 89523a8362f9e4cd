#include "fuzz/step_decoder.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "request/cookie_resolution.h"

namespace pendrakel::fuzz {
namespace {

// Distinct names and cookies remembered for reuse by later requests.
constexpr size_t kPoolSize = 16;
// Content types long enough that their line may not fit the header block.
constexpr size_t kLongContentTypeBytes = 8050;

template <size_t kCapacity>
void SetText(char (&field)[kCapacity], const std::string& text) {
  const std::string value = CString(text).substr(0, kCapacity - 1);
  std::memcpy(field, value.c_str(), value.size() + 1);
}

// Header texts a host delivers have no line breaks.
std::string WithoutLineBreaks(std::string text) {
  for (char& c : text) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  return text;
}

void Remember(std::vector<std::string>& pool, const std::string& item) {
  if (pool.size() >= kPoolSize) return;
  if (std::find(pool.begin(), pool.end(), item) != pool.end()) return;
  pool.push_back(item);
}

}  // namespace

// Flags: 1 Distribute, 2 memory limit, 4 PathBase, 8 command names,
// 16 CookieName, 32 DefaultContentType, 64 GUID quirks, 128 idle limit.
DecodedSettings StepDecoder::DecodeSettings(Settings& settings) {
  DecodedSettings decoded;
  const uint8_t flags = in_.Byte();
  settings.Distribute = (flags & 1) != 0;
  if (flags & 2) decoded.memoryMax = 1 + in_.Byte() * 16u + in_.Byte() % 16u;
  if (flags & 4) {
    SetText(settings.PathBase, in_.Text(12));
    settings.PathBaseLength =
        static_cast<int8_t>(std::strlen(settings.PathBase));
  }
  if (flags & 8) {
    SetText(settings.GetCmdName, in_.Text(6));
    SetText(settings.SetCmdName, in_.Text(6));
    SetText(settings.DelCmdName, in_.Text(6));
    SetText(settings.NopCmdName, in_.Text(6));
  }
  if (flags & 16) SetText(settings.CookieName, WithoutLineBreaks(in_.Text(8)));
  if (flags & 32) {
    SetText(settings.DefaultContentType, WithoutLineBreaks(in_.Text(16)));
  }
  if (flags & 64) {
    decoded.guidPeriod = in_.Byte() % 8;
    decoded.guidFailEvery = in_.Byte() % 8;
  }
  if (flags & 128) settings.IdleLimit = static_cast<int8_t>(in_.Byte());
  memoryMax_ = decoded.memoryMax;
  return decoded;
}

Step StepDecoder::Next() {
  const uint8_t op = in_.Byte();
  Step step;
  switch (op & 0x0f) {
    case 0: {
      const uint8_t seconds = in_.Byte();
      step.kind = Step::Kind::kClock;
      step.seconds = seconds < 200 ? seconds % 20 : (seconds - 200) * 60;
      break;
    }
    case 1:
      step.kind = Step::Kind::kCollectIdle;
      break;
    case 2:
      step.kind = Step::Kind::kCollectExpired;
      break;
    case 3:
      step.kind = Step::Kind::kStat;
      break;
    default:
      step.kind = Step::Kind::kRequest;
      step.request = DecodeRequest(op >> 4);
      break;
  }
  return step;
}

void StepDecoder::RememberCookie(const std::string& cookie) {
  Remember(cookies_, cookie);
}

// Optional parts: 1 cookie, 2 time-out, 4 content type, 8 body.
RequestSpec StepDecoder::DecodeRequest(uint8_t parts) {
  RequestSpec request;
  request.method = DecodeMethod();
  const std::string name = DecodeName();
  const std::string prefix = DecodePathPrefix();
  if (CString(request.method) == "POST") {
    const uint8_t choice = in_.Byte();
    request.path = prefix + DecodeCommand(choice, name);
    if ((choice & 0x80) == 0) request.name = name;
  } else {
    request.path = prefix + name;
  }
  if (parts & 1) request.cookie = DecodeCookie();
  if (parts & 2) request.timeout = DecodeTimeout();
  if (parts & 4) request.contentType = DecodeContentType();
  if (parts & 8) DecodeBody(request);
  return request;
}

std::string StepDecoder::DecodeMethod() {
  static const std::string kMethods[] = {"GET",
                                         "HEAD",
                                         "PUT",
                                         "DELETE",
                                         "NOOP",
                                         "POST",
                                         "STAT",
                                         "stat",
                                         "post",
                                         "Get",
                                         std::string("PUT\0x", 5)};
  const uint8_t choice = in_.Byte() % (std::size(kMethods) + 1);
  return choice < std::size(kMethods) ? kMethods[choice] : in_.Text(8);
}

std::string StepDecoder::DecodeName() {
  const uint8_t choice = in_.Byte();
  std::string name;
  if (choice < 160 && !names_.empty()) {
    name = names_[choice % names_.size()];
  } else if (choice == 255) {
    name = std::string(250 + in_.Byte() % 16, 'n');  // around 255 bytes
  } else {
    name = CString(in_.Text(12));
  }
  Remember(names_, name);
  return name;
}

// Usually PathBase itself; also other bytes of its length, one byte less,
// or nothing.
std::string StepDecoder::DecodePathPrefix() {
  const std::string base = settings_.PathBase;
  switch (in_.Byte() % 8) {
    case 0:
      return in_.Bytes(base.size());
    case 1:
      return base.empty() ? base : base.substr(0, base.size() - 1);
    case 2:
      return "";
    default:
      return base;
  }
}

// One of the command names, some letters upper-cased; also other bytes, the
// value name, or a command name with more after it.
std::string StepDecoder::DecodeCommand(uint8_t choice,
                                       const std::string& name) {
  const char* const kCommands[] = {settings_.GetCmdName, settings_.SetCmdName,
                                   settings_.DelCmdName, settings_.NopCmdName};
  switch (choice % 8) {
    case 4:
      return in_.Text(6);
    case 5:
      return name;
    case 6:
      return std::string(kCommands[in_.Byte() % 4]) + "/x";
    default:
      break;
  }
  std::string command = kCommands[choice % 4];
  const uint8_t flips = in_.Byte();
  for (size_t i = 0; i < command.size() && i < 8; ++i) {
    if ((flips >> i & 1) && command[i] >= 'a' && command[i] <= 'z') {
      command[i] = static_cast<char>(command[i] - 'a' + 'A');
    }
  }
  return command;
}

// A cookie seen before (as sent, or handed out), a near miss of one, new
// bytes, or one too long for the extension's buffer.
std::string StepDecoder::DecodeCookie() {
  const uint8_t choice = in_.Byte();
  std::string cookie;
  if (choice < 128 && !cookies_.empty()) {
    cookie = cookies_[choice % cookies_.size()];
  } else if (choice < 192 && !cookies_.empty()) {
    cookie = NearMiss(cookies_[choice % cookies_.size()]);
  } else if (choice == 254) {
    cookie = std::string(kCookieTextBytes + in_.Byte() % 4, 'c');
  } else if (choice == 255) {
    cookie = std::string(kCookieTextBytes - 1, 'k');  // the longest that fits
  } else {
    cookie = WithoutLineBreaks(in_.Text(16));
  }
  const std::string seen = Variable(cookie, kCookieTextBytes);
  if (!seen.empty()) Remember(cookies_, seen);
  return cookie;
}

// One byte's case flipped, the last byte cut, another cookie added, or a
// blank in front.
std::string StepDecoder::NearMiss(std::string cookie) {
  const uint8_t how = in_.Byte();
  switch (how % 4) {
    case 0:
      cookie[how / 4 % cookie.size()] ^= 0x20;
      break;
    case 1:
      cookie.pop_back();
      break;
    case 2:
      cookie += "; x=1";
      break;
    default:
      cookie.insert(0, " ");
      break;
  }
  return cookie;
}

std::string StepDecoder::DecodeTimeout() {
  static const char* const kTexts[] = {
      " +7",  "\t-1", "4294967295", "4294967296", "99999999999999999999",
      "0x10", "",     "-4294967295"};
  const uint8_t choice = in_.Byte();
  if (choice < 160) return std::to_string(choice % 40);
  if (choice < 200) return kTexts[choice % std::size(kTexts)];
  return in_.Text(12);
}

std::string StepDecoder::DecodeContentType() {
  static const char* const kTypes[] = {"text/plain", "application/json", "",
                                       "x"};
  const uint8_t choice = in_.Byte();
  if (choice < 64) return kTypes[choice % std::size(kTypes)];
  // Line breaks included: a type that could forge lines must never be sent.
  if (choice < 250) return in_.Text(24);
  return std::string(kLongContentTypeBytes + in_.Byte() % 128, 't');
}

// Size, bytes, then how the fake host delivers them: preloaded bytes, piece
// size (0 ends the body), and a break-off a few bytes short, or a declared
// size above what is sent (far above only under a memory limit, which
// refuses it before anything is allocated).
void StepDecoder::DecodeBody(RequestSpec& request) {
  const uint8_t sizeChoice = in_.Byte();
  const size_t size =
      sizeChoice < 200 ? sizeChoice % 48 : (sizeChoice - 200) * 40u;
  request.hasBody = true;
  request.body = in_.Bytes(size);
  request.body.resize(size, 'b');
  const uint8_t preload = in_.Byte();
  request.preload = preload >= 128 ? SIZE_MAX : preload % (size + 1);
  request.piece = in_.Byte();
  const uint8_t deliver = in_.Byte();
  if (deliver == 255) {
    const uint8_t unsent = in_.Byte();
    const uint32_t room = UINT32_MAX - static_cast<uint32_t>(size);
    request.unsentBytes =
        memoryMax_ == 0 ? 1 + unsent % 64
                        : (unsent >= 32 ? room : std::min(room, 1u << unsent));
  } else if (deliver >= 240) {
    request.deliver = size - std::min<size_t>(size, deliver - 239);
  }
}

}  // namespace pendrakel::fuzz
