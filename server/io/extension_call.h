// ExtensionCall: runs HttpExtensionProc for one request. It fills the
// EXTENSION_CONTROL_BLOCK from a RequestIntake, and answers the extension's
// callbacks: GetServerVariable from the parsed head, ReadClient through the
// ClientChannel, ServerSupportFunction (HSE_REQ_SEND_RESPONSE_HEADER) and
// WriteClient into the connection's output buffer.
//
// Response rules: the head is taken once; WriteClient before it fails and
// after a HEAD request (or a 1xx/204/304 status) drops its bytes; a body
// longer than its declared Content-Length is cut. Small bodies are copied
// into the output buffer so that head and body leave in one system call;
// larger ones are sent straight from the extension's memory, together with
// the buffer, before WriteClient returns. A request whose extension sent no
// head is answered 500; one whose client was cut off for reading too slowly
// is answered 408 in place of the extension's head.
//
// Whether the connection may be kept afterwards is not decided here: Run
// reports what the call did (CallOutcome), and http/keep_alive.h decides;
// the head announces the close exactly when AnnouncesClose says so.
//
// One per connection; ConnID is its address, valid while the connection
// lives. All callbacks come from the thread that called Run, during Run.
#ifndef PENDRAKEL_SERVER_IO_EXTENSION_CALL_H_
#define PENDRAKEL_SERVER_IO_EXTENSION_CALL_H_

#include <cstdint>
#include <optional>
#include <string>

#include "base/isapi.h"
#include "server/http/request_intake.h"
#include "server/io/client_channel.h"

namespace pendrakel::server {

struct CallPolicy {
  // The connection closes after this response whatever the extension does
  // (the client asked for it, HTTP/1.0, or the host is stopping).
  bool close_requested = false;
  // More unread body than this closes the connection.
  uint64_t drain_limit_bytes = 0;
};

// What one call did, for the counters, the access log and the ending.
struct CallOutcome {
  // The status code of the answer sent.
  int status = 0;
  // Body bytes the extension wrote.
  uint64_t body_bytes = 0;
  // The host's own answer given in place of the extension's (kNone when
  // the extension's went).
  HttpError host_answer = HttpError::kNone;
  // The connection cannot be kept: the head announced the close, the body
  // did not match its declared length, or the client was gone or too slow.
  bool must_close = false;
};

class ExtensionCall {
 public:
  ExtensionCall() = default;
  ExtensionCall(const ExtensionCall&) = delete;
  ExtensionCall& operator=(const ExtensionCall&) = delete;

  // Runs `proc` for the request in `intake` (phase kComplete or
  // kPreloaded). The response is appended to `out` (partly sent through
  // `channel` when large).
  CallOutcome Run(PFN_HTTPEXTENSIONPROC proc, RequestIntake& intake,
                  std::string& out, ClientChannel& channel,
                  const CallPolicy& policy);

 private:
  static ExtensionCall* From(HCONN conn);
  // Runs a callback's `body` for `conn`; no exception reaches the
  // extension's frames: one that runs out of memory fails (FALSE) and the
  // connection closes after the call.
  template <typename Body>
  static BOOL Guarded(HCONN conn, Body body) noexcept;
  static BOOL GetServerVariableThunk(HCONN conn, char* name, void* buffer,
                                     DWORD* size);
  static BOOL WriteClientThunk(HCONN conn, void* buffer, DWORD* bytes,
                               DWORD flags);
  static BOOL ReadClientThunk(HCONN conn, void* buffer, DWORD* size);
  static BOOL ServerSupportFunctionThunk(HCONN conn, DWORD request,
                                         void* buffer, DWORD* size,
                                         DWORD* data_type);

  void FillControlBlock();
  BOOL SendHead(const char* status_text, const char* block);
  BOOL Write(const void* data, DWORD* bytes);
  BOOL Read(void* buffer, DWORD* size);
  bool MustClose() const;

  EXTENSION_CONTROL_BLOCK ecb_{};
  // Set by Run for the duration of one call.
  RequestIntake* intake_ = nullptr;
  std::string* out_ = nullptr;
  ClientChannel* channel_ = nullptr;
  CallPolicy policy_;
  // The response of the current call.
  bool head_sent_ = false;
  bool head_only_ = false;
  bool close_ = false;
  bool client_gone_ = false;
  HttpError read_failure_ = HttpError::kNone;
  int status_ = 0;
  std::optional<uint64_t> declared_length_;
  uint64_t body_written_ = 0;
};

}  // namespace pendrakel::server

#endif  // PENDRAKEL_SERVER_IO_EXTENSION_CALL_H_
