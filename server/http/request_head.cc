#include "server/http/request_head.h"

#include "base/ascii_text.h"
#include "server/limits.h"

namespace pendrakel::server {
namespace {

// The path part of an absolute-form target, else the target itself.
std::string_view OriginPart(std::string_view target) {
  const size_t scheme_end = target.find("://");
  if (target.empty() || target[0] == '/' ||
      scheme_end == std::string_view::npos)
    return target;
  const std::string_view scheme = target.substr(0, scheme_end);
  if (!EqualsIgnoringAsciiCase(scheme, "http") &&
      !EqualsIgnoringAsciiCase(scheme, "https"))
    return target;
  const size_t path = target.find_first_of("/?", scheme_end + 3);
  if (path == std::string_view::npos) return "/";
  return target.substr(path);
}

}  // namespace

RequestHead::RequestHead() {
  arena_.reserve(kInitialHeadArenaBytes);
  fields_.reserve(kInitialHeadFields);
  Clear();
}

void RequestHead::Clear() {
  arena_.assign(1, '\0');
  fields_.clear();
  method_ = target_ = request_line_ = path_ = query_ = Span{};
  content_type_field_ = -1;
  version = 11;
  sent_version = 11;
  keep_alive = true;
  expect_continue = false;
  framing = Framing::kNone;
  content_length = 0;
}

RequestHead::Span RequestHead::Append(std::string_view text) {
  Span span{static_cast<uint32_t>(arena_.size()),
            static_cast<uint32_t>(text.size())};
  arena_.append(text);
  arena_.push_back('\0');
  return span;
}

void RequestHead::SetMethod(std::string_view method) {
  method_ = Append(method);
}

DecodeResult RequestHead::SetTarget(std::string_view target) {
  target_ = Append(target);
  const std::string_view origin = OriginPart(target);
  const size_t question = origin.find('?');
  const std::string_view path = origin.substr(0, question);
  path_.offset = static_cast<uint32_t>(arena_.size());
  const DecodeResult result = PercentDecode(path, arena_);
  if (result != DecodeResult::kOk) {
    arena_.resize(path_.offset);
    path_ = Span{};
    return result;
  }
  path_.size = static_cast<uint32_t>(arena_.size() - path_.offset);
  arena_.push_back('\0');
  if (question != std::string_view::npos) {
    query_ = Append(origin.substr(question + 1));
  }
  return DecodeResult::kOk;
}

std::string_view RequestHead::FieldValue(std::string_view name) const {
  for (const Field& field : fields_) {
    if (EqualsIgnoringAsciiCase(View(field.name), name))
      return View(field.value);
  }
  return {};
}

void RequestHead::AddField(std::string_view name, std::string_view value) {
  const Span name_span = Append(name);
  const Span value_span = Append(value);
  if (content_type_field_ < 0 &&
      EqualsIgnoringAsciiCase(name, "content-type")) {
    content_type_field_ = static_cast<int>(fields_.size());
  }
  fields_.push_back(Field{name_span, value_span});
}

}  // namespace pendrakel::server
