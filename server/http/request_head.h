// RequestHead: the parsed head of one request (method, decoded path info,
// raw query, header fields, framing), kept as NUL-terminated texts in one
// arena so that the control block can point at them without copies.
//
// One per connection, reused for every request on it: Clear keeps the
// capacity, so a kept-alive connection allocates nothing per request once
// its buffers have grown. Used by one thread at a time (the connection's I/O
// thread, or the upload thread that runs the request); no locking.
#ifndef PENDRAKEL_SERVER_HTTP_REQUEST_HEAD_H_
#define PENDRAKEL_SERVER_HTTP_REQUEST_HEAD_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "server/http/percent_decode.h"

namespace pendrakel::server {

// How the body of a request is delimited.
enum class Framing { kNone, kLength, kChunked };

class RequestHead {
 public:
  RequestHead();
  RequestHead(const RequestHead&) = delete;
  RequestHead& operator=(const RequestHead&) = delete;

  // Forgets the previous request; keeps the memory.
  void Clear();

  // Building, in the order the parser meets the parts.
  void SetMethod(std::string_view method);
  // Splits the target at '?', percent-decodes the path and keeps the query
  // as sent. An absolute-form target ("http://host/path") yields its path.
  DecodeResult SetTarget(std::string_view target);
  void AddField(std::string_view name, std::string_view value);

  // The texts, NUL-terminated; empty when absent. Mutable because the
  // control block's fields are `char*`; nobody writes through them.
  char* method() { return At(method_); }
  char* path_info() { return At(path_); }
  char* query() { return At(query_); }
  // The first Content-Type field, or the empty text.
  char* content_type() {
    return content_type_field_ < 0 ? At(Span{})
                                   : At(fields_[content_type_field_].value);
  }
  std::string_view content_type_view() const {
    return content_type_field_ < 0 ? std::string_view()
                                   : View(fields_[content_type_field_].value);
  }
  std::string_view method_view() const { return View(method_); }
  std::string_view path_view() const { return View(path_); }
  // The target as sent, for the access log.
  std::string_view target_view() const { return View(target_); }
  // A target refused before decoding: kept as sent, for the access log.
  void KeepTarget(std::string_view target) { target_ = Append(target); }
  // The request line as sent, kept only when it could not be parsed (the
  // access log writes it in place of method, target and version).
  void KeepRequestLine(std::string_view line) { request_line_ = Append(line); }
  std::string_view request_line_view() const { return View(request_line_); }
  // The first field named `name` (any case); empty when absent.
  std::string_view FieldValue(std::string_view name) const;
  std::string_view query_view() const { return View(query_); }

  size_t field_count() const { return fields_.size(); }
  std::string_view field_name(size_t i) const { return View(fields_[i].name); }
  std::string_view field_value(size_t i) const {
    return View(fields_[i].value);
  }

  // Set by the parser once the head is complete.
  int version = 11;  // 10 or 11
  // The minor version as the request line wrote it (HTTP/1.x with x > 1
  // is served as HTTP/1.1), for the access log: 10 to 19.
  int sent_version = 11;
  bool keep_alive = true;
  bool expect_continue = false;
  Framing framing = Framing::kNone;
  uint64_t content_length = 0;  // for kLength

 private:
  struct Span {
    uint32_t offset = 0;  // offset 0 is the arena's leading NUL: ""
    uint32_t size = 0;
  };
  struct Field {
    Span name;
    Span value;
  };

  Span Append(std::string_view text);
  char* At(Span span) { return arena_.data() + span.offset; }
  std::string_view View(Span span) const {
    return std::string_view(arena_.data() + span.offset, span.size);
  }

  std::string arena_;
  std::vector<Field> fields_;
  Span method_;
  Span target_;
  Span request_line_;
  Span path_;
  Span query_;
  int content_type_field_ = -1;
};

}  // namespace pendrakel::server

#endif  // PENDRAKEL_SERVER_HTTP_REQUEST_HEAD_H_
