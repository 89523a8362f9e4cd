#include "server/io/extension_call.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "server/http/http_error.h"
#include "server/http/keep_alive.h"
#include "server/http/response_head.h"
#include "server/http/server_variables.h"
#include "server/limits.h"

namespace pendrakel::server {
namespace {

// lpbData of a request without body bytes in hand: valid, never read.
unsigned char kNoBody[1] = {0};
char kEmptyText[1] = {0};

}  // namespace

CallOutcome ExtensionCall::Run(PFN_HTTPEXTENSIONPROC proc,
                               RequestIntake& intake, std::string& out,
                               ClientChannel& channel,
                               const CallPolicy& policy) {
  intake_ = &intake;
  out_ = &out;
  channel_ = &channel;
  policy_ = policy;
  head_sent_ = false;
  head_only_ = intake.head().method_view() == "HEAD";
  close_ = policy.close_requested;
  client_gone_ = false;
  read_failure_ = HttpError::kNone;
  status_ = 0;
  declared_length_.reset();
  body_written_ = 0;
  FillControlBlock();
  proc(&ecb_);
  if (!head_sent_) {
    const HttpError answer = read_failure_ != HttpError::kNone
                                 ? read_failure_
                                 : HttpError::kNoResponse;
    out.append(ErrorResponse(answer));
    status_ = ErrorStatus(answer);
  }
  CallOutcome outcome;
  outcome.status = status_;
  outcome.body_bytes = body_written_;
  outcome.host_answer = read_failure_;
  outcome.must_close = MustClose();
  intake_ = nullptr;
  out_ = nullptr;
  channel_ = nullptr;
  return outcome;
}

void ExtensionCall::FillControlBlock() {
  RequestHead& head = intake_->head();
  std::memset(&ecb_, 0, sizeof ecb_);
  ecb_.cbSize = sizeof ecb_;
  ecb_.dwVersion = HSE_VERSION;
  ecb_.ConnID = this;
  ecb_.dwHttpStatusCode = 200;
  ecb_.lpszMethod = head.method();
  ecb_.lpszQueryString = head.query();
  ecb_.lpszPathInfo = head.path_info();
  ecb_.lpszPathTranslated = kEmptyText;
  ecb_.cbTotalBytes = static_cast<DWORD>(intake_->total_bytes());
  ecb_.cbAvailable = static_cast<DWORD>(intake_->body_size());
  ecb_.lpbData = intake_->body_size() == 0 ? kNoBody : intake_->body_data();
  ecb_.lpszContentType = head.content_type();
  ecb_.GetServerVariable = &GetServerVariableThunk;
  ecb_.WriteClient = &WriteClientThunk;
  ecb_.ReadClient = &ReadClientThunk;
  ecb_.ServerSupportFunction = &ServerSupportFunctionThunk;
}

bool ExtensionCall::MustClose() const {
  if (close_ || client_gone_) return true;
  if (!head_sent_ || head_only_) return false;
  return !declared_length_ || body_written_ != *declared_length_;
}

ExtensionCall* ExtensionCall::From(HCONN conn) {
  return static_cast<ExtensionCall*>(conn);
}

template <typename Body>
BOOL ExtensionCall::Guarded(HCONN conn, Body body) noexcept {
  ExtensionCall* call = From(conn);
  if (call == nullptr || call->intake_ == nullptr) return FALSE;
  try {
    return body(*call);
  } catch (const std::bad_alloc&) {
    call->close_ = true;
    return FALSE;
  }
}

BOOL ExtensionCall::GetServerVariableThunk(HCONN conn, char* name, void* buffer,
                                           DWORD* size) {
  return Guarded(conn, [&](ExtensionCall& call) {
    return LookUpServerVariable(call.intake_->head(),
                                call.intake_->total_bytes(), name, buffer, size)
               ? TRUE
               : FALSE;
  });
}

BOOL ExtensionCall::WriteClientThunk(HCONN conn, void* buffer, DWORD* bytes,
                                     DWORD /*flags: always synchronous*/) {
  return Guarded(
      conn, [&](ExtensionCall& call) { return call.Write(buffer, bytes); });
}

BOOL ExtensionCall::ReadClientThunk(HCONN conn, void* buffer, DWORD* size) {
  return Guarded(conn,
                 [&](ExtensionCall& call) { return call.Read(buffer, size); });
}

BOOL ExtensionCall::ServerSupportFunctionThunk(HCONN conn, DWORD request,
                                               void* buffer, DWORD* /*size*/,
                                               DWORD* data_type) {
  if (request != HSE_REQ_SEND_RESPONSE_HEADER) return FALSE;
  return Guarded(conn, [&](ExtensionCall& call) {
    return call.SendHead(static_cast<const char*>(buffer),
                         reinterpret_cast<const char*>(data_type));
  });
}

BOOL ExtensionCall::SendHead(const char* status_text, const char* block) {
  if (head_sent_) return FALSE;
  head_sent_ = true;
  if (read_failure_ != HttpError::kNone) {
    // The client was cut off for sending too slowly: it hears why, not the
    // extension's failure.
    out_->append(ErrorResponse(read_failure_));
    status_ = ErrorStatus(read_failure_);
    head_only_ = true;
    return TRUE;
  }
  status_ = status_text == nullptr ? 200 : StatusCode(status_text);
  const BlockFacts facts = ReadHeaderBlock(block == nullptr ? "" : block);
  if (StatusHasNoBody(status_)) head_only_ = true;
  declared_length_ = facts.content_length;
  HeadFacts head;
  head.close_requested = close_;
  head.block_says_close = facts.connection_close;
  head.body_unframed = !head_only_ && !declared_length_;
  head.unread_body = intake_->unread_bytes();
  head.drain_limit = policy_.drain_limit_bytes;
  close_ = AnnouncesClose(head);
  AppendResponseHead(*out_, status_text, block, close_);
  return TRUE;
}

BOOL ExtensionCall::Write(const void* data, DWORD* bytes) {
  if (bytes == nullptr || !head_sent_ || client_gone_) return FALSE;
  if (head_only_ || *bytes == 0) return TRUE;
  if (data == nullptr) return FALSE;
  uint64_t size = *bytes;
  if (declared_length_) {
    const uint64_t room =
        *declared_length_ - std::min(*declared_length_, body_written_);
    if (size > room) {
      size = room;
      close_ = true;  // the rest would be read as the next response
    }
  }
  if (size <= kCoalesceBodyBytes) {
    out_->append(static_cast<const char*>(data), size);
  } else if (!channel_->SendThrough(*out_, data, size)) {
    client_gone_ = true;
    return FALSE;
  }
  body_written_ += size;
  return TRUE;
}

BOOL ExtensionCall::Read(void* buffer, DWORD* size) {
  if (size == nullptr) return FALSE;
  const uint64_t wanted = std::min<uint64_t>(*size, intake_->unread_bytes());
  if (wanted == 0 || buffer == nullptr) {
    *size = 0;
    return wanted == 0 ? TRUE : FALSE;
  }
  const size_t got = channel_->ReadBody(buffer, static_cast<size_t>(wanted));
  *size = static_cast<DWORD>(got);
  if (got == 0) {
    close_ = true;  // the client went silent or away: its framing is lost
    read_failure_ = channel_->ReadFailure();
    return FALSE;
  }
  intake_->TakeBody(got);
  return TRUE;
}

}  // namespace pendrakel::server
