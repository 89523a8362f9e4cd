// RequestIntake: turns the bytes a client sends into one request for the
// extension: the head (parsed by Boost.Beast into a RequestHead), the
// framing checks that keep one request from smuggling another, and the body
// bytes gathered before the extension is called.
//
// It never touches a socket: the caller feeds it whatever bytes it has and
// re-presents the ones it did not consume together with the next ones, so a
// fuzzer or a test can drive it with any byte sequence, split anywhere.
//
//   Content-Length body: the first min(length, preload) bytes are gathered
//     (kPreloaded when more follow, kComplete otherwise); the rest is read
//     by the caller and reported with TakeBody.
//   Chunked body: decoded and gathered whole, then kComplete with
//     total_bytes() = the decoded length.
//
// Rules enforced (each kFailed, and the connection is to be closed):
// Content-Length together with Transfer-Encoding, a Transfer-Encoding in an
// HTTP/1.0 request or whose codings are not exactly "chunked", differing or
// non-decimal Content-Length values, a head over the head limit (431), a
// body over the body limit (413), a chunk-size line or trailer longer than
// kMaxChunkLineBytes, a head or trailer line ending in a bare LF, a line
// continued by obs-fold, a target with a raw non-ASCII byte, an asterisk-form
// target with a method other than OPTIONS, a path with a bad or NUL escape,
// an HTTP/1.1 request without exactly one Host field, and a Host that is not
// a plain host[:port].
//
// An HTTP/1.x request with x > 1 is served as HTTP/1.1.
//
// One per connection, reused for every request (Start). Used by one thread at
// a time; no locking.
#ifndef PENDRAKEL_SERVER_HTTP_REQUEST_INTAKE_H_
#define PENDRAKEL_SERVER_HTTP_REQUEST_INTAKE_H_

#include <boost/beast/core/error.hpp>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "server/http/http_error.h"
#include "server/http/request_head.h"

namespace pendrakel::server {

struct IntakeLimits {
  size_t max_head_bytes = 0;
  uint64_t max_body_bytes = 0;
  size_t preload_bytes = 0;
};

enum class IntakePhase {
  kHead,       // the head is not complete yet
  kBody,       // head done; gathering the preload or the chunked body
  kPreloaded,  // the preload is in hand; more Content-Length body follows
  kComplete,   // head and whole body in hand
  kFailed,     // bad request; failure() is the answer, then close
};

class RequestParser;

class RequestIntake {
 public:
  explicit RequestIntake(const IntakeLimits& limits);
  ~RequestIntake();
  RequestIntake(const RequestIntake&) = delete;
  RequestIntake& operator=(const RequestIntake&) = delete;

  // Begins the next request; keeps the buffers.
  void Start();

  // Consumes a prefix of `data` and returns its length. Bytes not consumed
  // in kHead or kBody must be fed again, followed by more.
  size_t Feed(const char* data, size_t size);

  IntakePhase phase() const { return phase_; }
  HttpError failure() const { return failure_; }
  // Some byte of this request has been fed.
  bool started() const { return started_; }

  RequestHead& head() { return head_; }
  const RequestHead& head() const { return head_; }

  // The body bytes in hand (the control block's lpbData/cbAvailable).
  unsigned char* body_data() { return body_.data(); }
  size_t body_size() const { return body_.size(); }
  // The control block's cbTotalBytes.
  uint64_t total_bytes() const;
  // Content-Length body bytes past the preload not yet taken.
  uint64_t unread_bytes() const;
  // `n` bytes of the rest were read by the extension or dropped.
  // REQUIRES: n <= unread_bytes().
  void TakeBody(uint64_t n) { taken_ += n; }

  // Gives back buffer memory that one large request made grow.
  void ReleaseLargeBuffers();

 private:
  friend class RequestParser;

  void ResetParser();
  size_t FeedHead(const char* data, size_t size);
  size_t PutAsHttp11(const char* data, size_t size,
                     boost::beast::error_code& ec);
  void KeepRequestLine(const char* data, size_t size);
  size_t FeedPreload(const char* data, size_t size);
  size_t FeedChunks(const char* data, size_t size);
  bool HasBareLineFeed(const char* data, size_t size);
  void Fail(HttpError error);

  // Callbacks from the parser.
  bool OnRequestLine(std::string_view method, std::string_view target,
                     int version);
  // False for a trailer over the chunk-line limit.
  bool OnField(std::string_view name, std::string_view value);
  bool OnHeaderDone(bool keep_alive, bool chunked, uint64_t content_length);
  void OnChunkData(const char* data, size_t size);

  const IntakeLimits limits_;
  RequestHead head_;
  std::vector<unsigned char> body_;
  // Constructed anew in place for every request (Beast's parser has no
  // reset); the storage is allocated once.
  std::unique_ptr<RequestParser> parser_;
  IntakePhase phase_ = IntakePhase::kHead;
  HttpError failure_ = HttpError::kNone;
  bool started_ = false;
  bool head_done_ = false;
  uint64_t taken_ = 0;
  // Head bytes already checked for a bare LF, from the first unconsumed one.
  size_t head_scanned_ = 0;
  // The bytes of the parser's current call.
  std::string_view fed_;
  // A head whose HTTP/1 minor version was rewritten to 1 (rare).
  std::string rewritten_;
  // The target was malformed: 400 once the head is read.
  bool target_refused_ = false;
  // Bytes of trailer fields of a chunked body.
  size_t trailer_bytes_ = 0;
  // Framing fields seen in the head.
  int content_length_fields_ = 0;
  int transfer_encoding_fields_ = 0;
  int host_fields_ = 0;
  bool transfer_encoding_is_chunked_ = false;
};

}  // namespace pendrakel::server

#endif  // PENDRAKEL_SERVER_HTTP_REQUEST_INTAKE_H_
