#include "server/tls/tls_context.h"

#include <openssl/err.h>
#include <openssl/x509.h>

#include <ctime>
#include <ostream>
#include <utility>

namespace pendrakel::server {
namespace {

// TLS 1.2 suites: ECDHE only (forward secrecy), AEAD only (no CBC). TLS 1.3
// keeps OpenSSL's own list, which is all AEAD.
constexpr char kTls12Ciphers[] =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";
constexpr unsigned char kHttp11[] = {8, 'h', 't', 't', 'p', '/', '1', '.', '1'};

// OpenSSL's last error, as the end of a one-line message.
std::string LastError() {
  const unsigned long code = ERR_peek_last_error();
  ERR_clear_error();
  if (code == 0) return "unknown error";
  const char* reason = ERR_reason_error_string(code);
  return reason != nullptr ? reason : "unknown error";
}

// ALPN: http/1.1 when the client offers it; a client offering only other
// protocols goes on without ALPN rather than being refused.
int SelectProtocol(SSL*, const unsigned char** out, unsigned char* out_size,
                   const unsigned char* offered, unsigned int offered_size,
                   void*) {
  unsigned char* chosen = nullptr;
  if (SSL_select_next_proto(&chosen, out_size, kHttp11, sizeof kHttp11, offered,
                            offered_size) != OPENSSL_NPN_NEGOTIATED)
    return SSL_TLSEXT_ERR_NOACK;
  *out = chosen;
  return SSL_TLSEXT_ERR_OK;
}

bool Configure(SSL_CTX* context) {
  SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
  SSL_CTX_set_max_proto_version(context, TLS1_3_VERSION);
  SSL_CTX_set_options(context, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION);
  // Buffers of an idle connection go back to the allocator.
  SSL_CTX_set_mode(context, SSL_MODE_RELEASE_BUFFERS);
  // Tickets carry the sessions; the host keeps none.
  SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_OFF);
  SSL_CTX_set_num_tickets(context, 1);
  SSL_CTX_set_alpn_select_cb(context, SelectProtocol, nullptr);
  return SSL_CTX_set_cipher_list(context, kTls12Ciphers) == 1;
}

// The leaf's notAfter in seconds since the epoch; false when it has passed
// or notBefore has not come, with `error` saying so.
bool CheckDates(X509* leaf, const std::string& cert_file, int64_t& expires_at,
                std::string& error) {
  tm after{};
  if (ASN1_TIME_to_tm(X509_get0_notAfter(leaf), &after) != 1) {
    error = "cannot read the expiry of the TLS certificate " + cert_file;
    return false;
  }
  expires_at = timegm(&after);
  if (X509_cmp_current_time(X509_get0_notAfter(leaf)) <= 0) {
    error = "the TLS certificate " + cert_file + " expired on " +
            FormatExpiry(expires_at);
    return false;
  }
  if (X509_cmp_current_time(X509_get0_notBefore(leaf)) > 0) {
    error = "the TLS certificate " + cert_file + " is not valid yet";
    return false;
  }
  return true;
}

}  // namespace

TlsContext::TlsContext(const TlsContext& other)
    : context_(other.context_), expires_at_(other.expires_at_) {
  if (context_ != nullptr) SSL_CTX_up_ref(context_);
}

TlsContext& TlsContext::operator=(const TlsContext& other) {
  TlsContext copy(other);
  return *this = std::move(copy);
}

TlsContext::TlsContext(TlsContext&& other) noexcept
    : context_(std::exchange(other.context_, nullptr)),
      expires_at_(other.expires_at_) {}

TlsContext& TlsContext::operator=(TlsContext&& other) noexcept {
  std::swap(context_, other.context_);
  std::swap(expires_at_, other.expires_at_);
  return *this;
}

TlsContext LoadTlsContext(const std::string& cert_file,
                          const std::string& key_file, TicketKeys& keys,
                          std::string& error) {
  ERR_clear_error();
  TlsContext owner(SSL_CTX_new(TLS_server_method()), 0);
  SSL_CTX* context = owner.get();
  if (context == nullptr || !Configure(context)) {
    error = "cannot set up TLS: " + LastError();
    return {};
  }
  if (SSL_CTX_use_certificate_chain_file(context, cert_file.c_str()) != 1) {
    error = "cannot load the TLS certificate " + cert_file + ": " + LastError();
    return {};
  }
  const std::string& key = key_file.empty() ? cert_file : key_file;
  if (SSL_CTX_use_PrivateKey_file(context, key.c_str(), SSL_FILETYPE_PEM) !=
      1) {
    error = ERR_GET_REASON(ERR_peek_last_error()) == X509_R_KEY_VALUES_MISMATCH
                ? "the TLS key " + key + " does not match the certificate " +
                      cert_file
                : "cannot load the TLS key " + key + ": " + LastError();
    ERR_clear_error();
    return {};
  }
  if (SSL_CTX_check_private_key(context) != 1) {
    ERR_clear_error();
    error =
        "the TLS key " + key + " does not match the certificate " + cert_file;
    return {};
  }
  int64_t expires_at = 0;
  if (!CheckDates(SSL_CTX_get0_certificate(context), cert_file, expires_at,
                  error))
    return {};
  keys.Install(context);
  SSL_CTX_up_ref(context);
  return TlsContext(context, expires_at);
}

int CheckTlsPair(const std::string& cert_file, const std::string& key_file,
                 std::ostream& out, std::ostream& err) {
  TicketKeys keys;
  std::string error;
  const TlsContext context = LoadTlsContext(cert_file, key_file, keys, error);
  if (!context) {
    err << "pendrakel-host: " << error << std::endl;
    return 1;
  }
  out << "tls certificate " << cert_file << " matches its key, expires "
      << FormatExpiry(context.expires_at()) << std::endl;
  return 0;
}

std::string FormatExpiry(int64_t expires_at) {
  const time_t when = static_cast<time_t>(expires_at);
  tm utc{};
  gmtime_r(&when, &utc);
  char text[32];
  strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &utc);
  return text;
}

}  // namespace pendrakel::server
