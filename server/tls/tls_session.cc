#include "server/tls/tls_session.h"

#include <openssl/err.h>

#include <algorithm>
#include <climits>
#include <cstring>

#include "server/limits.h"

namespace pendrakel::server {
namespace {

// Alerts a client sends when it refuses the host's certificate.
bool IsCertificateRefusal(int reason) {
  switch (reason) {
    case SSL_R_SSLV3_ALERT_BAD_CERTIFICATE:
    case SSL_R_SSLV3_ALERT_CERTIFICATE_EXPIRED:
    case SSL_R_SSLV3_ALERT_CERTIFICATE_REVOKED:
    case SSL_R_SSLV3_ALERT_CERTIFICATE_UNKNOWN:
    case SSL_R_SSLV3_ALERT_UNSUPPORTED_CERTIFICATE:
    case SSL_R_TLSV1_ALERT_UNKNOWN_CA:
    case SSL_R_TLSV1_ALERT_ACCESS_DENIED:
    case SSL_R_TLSV1_ALERT_DECRYPT_ERROR:
      return true;
    default:
      return false;
  }
}

}  // namespace

BIO_METHOD* TlsSession::Method() {
  static BIO_METHOD* const method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK,
                                 "pendrakel connection");
    BIO_meth_set_write(m, &TlsSession::BioWrite);
    BIO_meth_set_read(m, &TlsSession::BioRead);
    BIO_meth_set_ctrl(m, &TlsSession::BioControl);
    BIO_meth_set_create(m, [](BIO* bio) {
      BIO_set_init(bio, 1);
      return 1;
    });
    return m;
  }();
  return method;
}

TlsSession::TlsSession(const TlsContext& context)
    : ssl_(SSL_new(context.get())) {
  BIO* bio = BIO_new(Method());
  BIO_set_data(bio, this);
  SSL_set_bio(ssl_, bio, bio);  // the SSL owns it, once for both ways
  SSL_set_accept_state(ssl_);
}

TlsSession::~TlsSession() { SSL_free(ssl_); }

int TlsSession::BioRead(BIO* bio, char* into, int size) {
  auto* session = static_cast<TlsSession*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  const size_t held = session->in_.size() - session->in_begin_;
  if (held == 0) {
    if (session->ended_) return 0;
    BIO_set_retry_read(bio);
    return -1;
  }
  const size_t taken = std::min(held, static_cast<size_t>(size));
  std::memcpy(into, session->in_.data() + session->in_begin_, taken);
  session->in_begin_ += taken;
  return static_cast<int>(taken);
}

int TlsSession::BioWrite(BIO* bio, const char* data, int size) {
  auto* session = static_cast<TlsSession*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  session->out_.append(data, static_cast<size_t>(size));
  return size;
}

// OpenSSL flushes at the end of each handshake flight. A flight the client
// waits for goes at once; the TLS 1.3 ticket, which it does not wait for,
// goes with the first answer, which its request mostly brings within the
// same turn: one segment for the client to wake up for, not two.
long TlsSession::BioControl(BIO* bio, int command, long, void*) {
  if (command != BIO_CTRL_FLUSH) return 0;
  auto* session = static_cast<TlsSession*>(BIO_get_data(bio));
  if (!session->established_ && session->flight_sender_ != nullptr &&
      !session->cipher_out().empty() &&
      SSL_get_state(session->ssl_) != TLS_ST_SW_SESSION_TICKET) {
    session->CipherSent(session->flight_sender_(session->flight_context_,
                                                session->cipher_out()));
  }
  return 1;
}

void TlsSession::Feed(const char* data, size_t size) {
  Compact();
  in_.append(data, size);
}

// Taken bytes are dropped; a buffer grown large is given back once empty.
void TlsSession::Compact() {
  if (in_begin_ < in_.size()) {
    if (in_begin_ > 0 && in_begin_ >= in_.size() / 2) {
      in_.erase(0, in_begin_);
      in_begin_ = 0;
    }
    return;
  }
  in_begin_ = 0;
  if (in_.capacity() > kTlsRetainedBufferBytes) {
    std::string().swap(in_);
  } else {
    in_.clear();
  }
}

void TlsSession::CipherSent(size_t size) {
  out_begin_ += size;
  if (out_begin_ < out_.size()) return;
  out_begin_ = 0;
  if (out_.capacity() > kTlsRetainedBufferBytes) {
    std::string().swap(out_);
  } else {
    out_.clear();
  }
}

TlsSession::Status TlsSession::Fail(int result) {
  switch (SSL_get_error(ssl_, result)) {
    case SSL_ERROR_WANT_READ:
      return ended_ ? Status::kClosed : Status::kWant;
    case SSL_ERROR_ZERO_RETURN:
      return Status::kClosed;
    case SSL_ERROR_SSL:
      break;
    default:  // the end of the stream mid-record, and the like
      ERR_clear_error();
      failure_ = TlsFailure::kOther;
      return Status::kFailed;
  }
  const unsigned long code = ERR_peek_error();
  const int reason = ERR_GET_REASON(code);
  ERR_clear_error();
  plain_http_ =
      ERR_GET_LIB(code) == ERR_LIB_SSL && reason == SSL_R_HTTP_REQUEST;
  failure_ = IsCertificateRefusal(reason)       ? TlsFailure::kCertificate
             : ERR_GET_LIB(code) == ERR_LIB_SSL ? TlsFailure::kProtocol
                                                : TlsFailure::kOther;
  return Status::kFailed;
}

TlsSession::Status TlsSession::Handshake() {
  const int result = SSL_do_handshake(ssl_);
  if (result == 1) {
    established_ = true;
    return Status::kDone;
  }
  const Status status = Fail(result);
  // The end of the stream before the handshake is done is a failure.
  if (status == Status::kClosed) {
    failure_ = TlsFailure::kOther;
    return Status::kFailed;
  }
  return status;
}

TlsSession::Status TlsSession::Read(void* into, size_t size, size_t& got) {
  got = 0;
  const int result =
      SSL_read(ssl_, into, static_cast<int>(std::min<size_t>(size, INT_MAX)));
  if (result > 0) {
    got = static_cast<size_t>(result);
    return Status::kDone;
  }
  const Status status = Fail(result);
  // Waiting for the client with nothing held: OpenSSL's record buffers (17
  // KiB each way) go back until bytes arrive.
  if (status == Status::kWant && in_begin_ == in_.size())
    SSL_free_buffers(ssl_);
  return status;
}

bool TlsSession::Write(std::string_view data) {
  if (data.empty()) return true;
  const int result =
      SSL_write(ssl_, data.data(), static_cast<int>(data.size()));
  if (result == static_cast<int>(data.size())) return true;
  ERR_clear_error();
  return false;
}

void TlsSession::Shutdown() {
  if (SSL_get_shutdown(ssl_) & SSL_SENT_SHUTDOWN) return;
  SSL_shutdown(ssl_);
  ERR_clear_error();
}

std::string_view TlsSession::version() const { return SSL_get_version(ssl_); }

std::string_view TlsSession::cipher() const {
  return SSL_CIPHER_get_name(SSL_get_current_cipher(ssl_));
}

bool TlsSession::resumed() const { return SSL_session_reused(ssl_) == 1; }

}  // namespace pendrakel::server
