#include "server/http/request_intake.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "base/ascii_text.h"
#include "server/http/request_parser.h"
#include "server/limits.h"

namespace pendrakel::server {
namespace {

namespace http = boost::beast::http;

std::string_view Std(boost::beast::string_view text) {
  return std::string_view(text.data(), text.size());
}

// Counts the codings of a Transfer-Encoding value and whether the only one
// is "chunked". Empty list elements are skipped, as the list rule allows.
struct Codings {
  int count = 0;
  bool last_is_chunked = false;
};

Codings ParseCodings(std::string_view value) {
  Codings codings;
  while (!value.empty()) {
    const size_t comma = value.find(',');
    const std::string_view coding = TrimBlanks(value.substr(0, comma));
    if (!coding.empty()) {
      ++codings.count;
      codings.last_is_chunked = EqualsIgnoringAsciiCase(coding, "chunked");
    }
    if (comma == std::string_view::npos) break;
    value.remove_prefix(comma + 1);
  }
  return codings;
}

// uri-host [ ":" port ]: a bracketed IP literal or a registered name, never
// empty, with no userinfo, path, list or blank in it.
bool IsHostValue(std::string_view value) {
  static constexpr ByteSet kLiteralChars("0123456789abcdefABCDEF:.vV");
  static constexpr ByteSet kNameChars(
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"
      "-._~%!$&'()*+;=");
  static constexpr ByteSet kDigits("0123456789");
  size_t end = 0;
  if (!value.empty() && value.front() == '[') {
    end = value.find(']');
    if (end == std::string_view::npos || end == 1) return false;
    if (!kLiteralChars.ContainsAll(value.substr(1, end - 1))) return false;
    ++end;
  } else {
    end = value.find(':');
    if (end == std::string_view::npos) end = value.size();
    if (end == 0 || !kNameChars.ContainsAll(value.substr(0, end))) return false;
  }
  if (end == value.size()) return true;
  const std::string_view port = value.substr(end);
  return port.front() == ':' && kDigits.ContainsAll(port.substr(1));
}

HttpError FromParserError(const boost::beast::error_code& ec) {
  if (ec == http::error::header_limit) return HttpError::kHeadTooLarge;
  if (ec == http::error::body_limit) return HttpError::kBodyTooLarge;
  return HttpError::kBadRequest;
}

}  // namespace

// ---- RequestParser: forwards Beast's callbacks ----

void RequestParser::on_request_impl(http::verb, string_view method,
                                    string_view target, int version,
                                    error_code& ec) {
  if (!intake_.OnRequestLine(Std(method), Std(target), version))
    ec = http::error::bad_target;
}

void RequestParser::on_response_impl(int, string_view, int, error_code& ec) {
  ec = http::error::bad_version;  // never called for a request parser
}

void RequestParser::on_field_impl(http::field, string_view name,
                                  string_view value, error_code& ec) {
  if (!intake_.OnField(Std(name), Std(value))) ec = http::error::bad_field;
}

void RequestParser::on_header_impl(error_code& ec) {
  const auto length = content_length();
  if (!intake_.OnHeaderDone(keep_alive(), chunked(), length.value_or(0)))
    ec = http::error::bad_value;
}

void RequestParser::on_body_init_impl(const boost::optional<std::uint64_t>&,
                                      error_code&) {}

std::size_t RequestParser::on_body_impl(string_view body, error_code&) {
  // Content-Length bodies never pass through the parser.
  return body.size();
}

void RequestParser::on_chunk_header_impl(std::uint64_t, string_view extensions,
                                         error_code& ec) {
  // A chunk-size line that arrived whole is parsed at once: bound it here
  // as well as while it is still arriving.
  if (extensions.size() > kMaxChunkLineBytes)
    ec = http::error::bad_chunk_extension;
}

std::size_t RequestParser::on_chunk_body_impl(std::uint64_t, string_view body,
                                              error_code&) {
  intake_.OnChunkData(body.data(), body.size());
  return body.size();
}

void RequestParser::on_finish_impl(error_code&) {}

// ---- RequestIntake ----

RequestIntake::RequestIntake(const IntakeLimits& limits)
    : limits_(limits), parser_(std::make_unique<RequestParser>(*this)) {
  Start();
}

RequestIntake::~RequestIntake() = default;

void RequestIntake::Start() {
  head_.Clear();
  body_.clear();
  ResetParser();
  phase_ = IntakePhase::kHead;
  failure_ = HttpError::kNone;
  started_ = false;
  head_done_ = false;
  taken_ = 0;
  head_scanned_ = 0;
  target_refused_ = false;
  trailer_bytes_ = 0;
  content_length_fields_ = 0;
  transfer_encoding_fields_ = 0;
  host_fields_ = 0;
  transfer_encoding_is_chunked_ = false;
}

void RequestIntake::ResetParser() {
  RequestParser* storage = parser_.get();
  storage->~RequestParser();
  new (storage) RequestParser(*this);
  parser_->header_limit(static_cast<std::uint32_t>(limits_.max_head_bytes));
  parser_->body_limit(limits_.max_body_bytes);
  parser_->eager(false);
}

size_t RequestIntake::Feed(const char* data, size_t size) {
  if (size == 0) return 0;
  switch (phase_) {
    case IntakePhase::kHead:
      return FeedHead(data, size);
    case IntakePhase::kBody:
      return head_.framing == Framing::kChunked ? FeedChunks(data, size)
                                                : FeedPreload(data, size);
    default:
      return 0;
  }
}

size_t RequestIntake::FeedHead(const char* data, size_t size) {
  started_ = true;
  boost::beast::error_code ec;
  fed_ = std::string_view(data, size);
  size_t used = parser_->put(boost::asio::const_buffer(data, size), ec);
  if (ec == http::error::bad_version) used = PutAsHttp11(data, size, ec);
  head_scanned_ -= std::min(head_scanned_, used);
  if (ec == http::error::need_more) {
    if (HasBareLineFeed(data + used, size - used)) Fail(HttpError::kBadRequest);
    return used;
  }
  if (ec) {
    if (failure_ == HttpError::kNone) Fail(FromParserError(ec));
    phase_ = IntakePhase::kFailed;
    if (head_.method_view().empty()) KeepRequestLine(data, size);
    return used;
  }
  if (phase_ == IntakePhase::kBody) used += Feed(data + used, size - used);
  return used;
}

// A recipient processes a higher minor version of HTTP/1 as the highest one
// it implements: a head whose request line ends in HTTP/1.2 to HTTP/1.9 is
// parsed again from a copy that says HTTP/1.1. Only such a head pays for
// the copy; any other version stays refused.
size_t RequestIntake::PutAsHttp11(const char* data, size_t size,
                                  boost::beast::error_code& ec) {
  const auto* line_end =
      static_cast<const char*>(std::memchr(data, '\r', size));
  if (line_end == nullptr) {
    // The parser judges the version as soon as its digits come: wait for
    // the line's end, within the head's limit, to see what it says.
    if (size < limits_.max_head_bytes) ec = http::error::need_more;
    return 0;
  }
  if (line_end - data < 9) return 0;
  const char minor = line_end[-1];
  if (minor < '2' || minor > '9' ||
      std::string_view(line_end - 9, 8) != " HTTP/1.") {
    return 0;
  }
  rewritten_.assign(data, size);
  rewritten_[static_cast<size_t>(line_end - data) - 1] = '1';
  ResetParser();
  ec = {};
  fed_ = rewritten_;
  const size_t used =
      parser_->put(boost::asio::const_buffer(rewritten_.data(), size), ec);
  head_.sent_version = 10 + (minor - '0');
  return used;
}

// What the access log shows of a request whose line could not be parsed:
// its first line as sent.
void RequestIntake::KeepRequestLine(const char* data, size_t size) {
  const std::string_view head(data, std::min(size, limits_.max_head_bytes));
  head_.KeepRequestLine(head.substr(0, head.find_first_of("\r\n")));
}

size_t RequestIntake::FeedPreload(const char* data, size_t size) {
  const uint64_t target =
      std::min<uint64_t>(head_.content_length, limits_.preload_bytes);
  const size_t take =
      static_cast<size_t>(std::min<uint64_t>(size, target - body_.size()));
  body_.insert(body_.end(), data, data + take);
  if (body_.size() == target) {
    phase_ = target == head_.content_length ? IntakePhase::kComplete
                                            : IntakePhase::kPreloaded;
  }
  return take;
}

size_t RequestIntake::FeedChunks(const char* data, size_t size) {
  parser_->eager(true);
  boost::beast::error_code ec;
  const size_t used = parser_->put(boost::asio::const_buffer(data, size), ec);
  head_scanned_ -= std::min(head_scanned_, used);
  if (ec == http::error::need_more) {
    // Chunk data is taken as it comes, so what is left is a chunk-size line
    // or the trailer, which a bare LF would never end.
    if (size - used > kMaxChunkLineBytes ||
        HasBareLineFeed(data + used, size - used)) {
      Fail(HttpError::kBadRequest);
    }
    return used;
  }
  if (ec) {
    Fail(FromParserError(ec));
    return used;
  }
  if (parser_->is_done()) phase_ = IntakePhase::kComplete;
  return used;
}

void RequestIntake::Fail(HttpError error) {
  failure_ = error;
  phase_ = IntakePhase::kFailed;
}

bool RequestIntake::OnRequestLine(std::string_view method,
                                  std::string_view target, int version) {
  head_.SetMethod(method);
  head_.version = version;
  // A target is ASCII (non-ASCII bytes travel percent-encoded), and the
  // asterisk form belongs to OPTIONS alone.
  const bool bad_target =
      std::any_of(
          target.begin(), target.end(),
          [](char c) { return static_cast<unsigned char>(c) >= 0x80; }) ||
      (target == "*" && method != "OPTIONS");
  // Refused once the head is read, so that the access log has the target
  // as sent and the refused request's fields (its User-Agent).
  if (bad_target) {
    head_.KeepTarget(target);
    target_refused_ = true;
  } else if (head_.SetTarget(target) != DecodeResult::kOk) {
    target_refused_ = true;
  }
  return true;
}

// Once the parser has asked for more of a head, it waits for the blank line
// CRLF CRLF, which a head whose lines end in a bare LF never brings: such a
// head would hang until the head time-out instead of being refused. `data`
// is the head so far; the bytes looked at by earlier calls are skipped.
bool RequestIntake::HasBareLineFeed(const char* data, size_t size) {
  for (size_t i = head_scanned_; i < size; ++i) {
    if (data[i] == '\n' && (i == 0 || data[i - 1] != '\r')) return true;
  }
  head_scanned_ = size;
  return false;
}

bool RequestIntake::OnField(std::string_view name, std::string_view value) {
  if (head_done_) {
    // A trailer of a chunked body: bounded, and not passed on.
    trailer_bytes_ += name.size() + value.size() + 4;
    return trailer_bytes_ <= kMaxChunkLineBytes;
  }
  // The parser joins a line continued by obs-fold to the one before in a
  // buffer of its own; a value found there was folded: refuse it.
  if (!value.empty() && (value.data() < fed_.data() ||
                         value.data() >= fed_.data() + fed_.size())) {
    return false;
  }
  if (EqualsIgnoringAsciiCase(name, "content-length")) ++content_length_fields_;
  if (EqualsIgnoringAsciiCase(name, "host")) {
    ++host_fields_;
    if (!IsHostValue(value)) return false;
  }
  if (EqualsIgnoringAsciiCase(name, "transfer-encoding")) {
    ++transfer_encoding_fields_;
    const Codings codings = ParseCodings(value);
    transfer_encoding_is_chunked_ =
        codings.count == 1 && codings.last_is_chunked;
    // Another coding before the final chunked one is well-formed but not
    // something the host decodes.
    if (codings.count > 1 && codings.last_is_chunked) {
      failure_ = HttpError::kNotImplemented;
    }
  }
  if (EqualsIgnoringAsciiCase(name, "expect") &&
      EqualsIgnoringAsciiCase(TrimBlanks(value), "100-continue"))
    head_.expect_continue = true;
  head_.AddField(name, value);
  return true;
}

bool RequestIntake::OnHeaderDone(bool keep_alive, bool chunked,
                                 uint64_t content_length) {
  head_done_ = true;
  const bool has_te = transfer_encoding_fields_ > 0;
  const bool bad_framing =
      (has_te && content_length_fields_ > 0) ||
      (has_te && head_.version < 11) || transfer_encoding_fields_ > 1 ||
      (has_te && !transfer_encoding_is_chunked_) || (has_te && !chunked);
  const bool bad_host =
      head_.version >= 11 ? host_fields_ != 1 : host_fields_ > 1;
  if (target_refused_) {
    Fail(HttpError::kBadRequest);
    return false;
  }
  if (bad_framing || bad_host) {
    Fail(failure_ == HttpError::kNone ? HttpError::kBadRequest : failure_);
    return false;
  }
  head_.keep_alive = keep_alive;
  if (chunked) {
    head_.framing = Framing::kChunked;
    phase_ = IntakePhase::kBody;
  } else if (content_length_fields_ > 0) {
    head_.framing = Framing::kLength;
    head_.content_length = content_length;
    phase_ = content_length == 0          ? IntakePhase::kComplete
             : limits_.preload_bytes == 0 ? IntakePhase::kPreloaded
                                          : IntakePhase::kBody;
  } else {
    phase_ = IntakePhase::kComplete;
  }
  if (head_.expect_continue && head_.version < 11)
    head_.expect_continue = false;  // 100 Continue is for HTTP/1.1 clients
  return true;
}

void RequestIntake::OnChunkData(const char* data, size_t size) {
  body_.insert(body_.end(), data, data + size);
}

uint64_t RequestIntake::total_bytes() const {
  return head_.framing == Framing::kChunked ? body_.size()
                                            : head_.content_length;
}

uint64_t RequestIntake::unread_bytes() const {
  if (head_.framing != Framing::kLength) return 0;
  return head_.content_length - body_.size() - taken_;
}

void RequestIntake::ReleaseLargeBuffers() {
  if (body_.capacity() > kRetainedBufferBytes) {
    std::vector<unsigned char>().swap(body_);
  }
  std::string().swap(rewritten_);
}

}  // namespace pendrakel::server
