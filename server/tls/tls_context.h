// TlsContext: what new TLS handshakes are made with: the certificate chain
// and key, the versions (1.2 and 1.3 only), the cipher list (forward
// secrecy and AEAD only), ALPN "http/1.1", session tickets (TicketKeys), no
// renegotiation, no compression. (No kernel TLS offload: OpenSSL hands
// records to the kernel only over a socket BIO, and sessions run over the
// loop's own receives and sends, TlsSession.) A small owning handle on
// OpenSSL's reference-counted SSL_CTX: copying takes a reference, so a
// connection's session keeps the context it began with after a reload has given
// the threads a new one.
//
// LoadTlsContext runs on the main thread (at start and on SIGHUP); a handle
// is then handed to each I/O thread, which alone uses its copy.
#ifndef PENDRAKEL_SERVER_TLS_TLS_CONTEXT_H_
#define PENDRAKEL_SERVER_TLS_TLS_CONTEXT_H_

#include <openssl/ssl.h>

#include <cstdint>
#include <iosfwd>
#include <string>

#include "server/tls/ticket_keys.h"

namespace pendrakel::server {

class TlsContext {
 public:
  TlsContext() = default;
  // Takes over the reference to `adopted`.
  TlsContext(SSL_CTX* adopted, int64_t expires_at)
      : context_(adopted), expires_at_(expires_at) {}
  ~TlsContext() { SSL_CTX_free(context_); }
  TlsContext(const TlsContext& other);
  TlsContext& operator=(const TlsContext& other);
  TlsContext(TlsContext&& other) noexcept;
  TlsContext& operator=(TlsContext&& other) noexcept;

  explicit operator bool() const { return context_ != nullptr; }
  SSL_CTX* get() const { return context_; }
  // The leaf certificate's notAfter, seconds since the epoch.
  int64_t expires_at() const { return expires_at_; }

 private:
  SSL_CTX* context_ = nullptr;
  int64_t expires_at_ = 0;
};

// The certificate chain in `cert_file` (PEM, leaf first) with the key in
// `key_file` (PEM; empty: the key is in `cert_file`). An empty handle and a
// one-line `error` when a file cannot be read, the key does not match the
// certificate, or the certificate has expired or is not valid yet.
// `keys` seal the tickets; it must outlive the context.
TlsContext LoadTlsContext(const std::string& cert_file,
                          const std::string& key_file, TicketKeys& keys,
                          std::string& error);

// --check: loads the pair as the host would. 0 after "tls certificate FILE
// matches its key, expires DATE" on `out`; 1 after the line start-up would
// refuse with, on `err`.
int CheckTlsPair(const std::string& cert_file, const std::string& key_file,
                 std::ostream& out, std::ostream& err);

// "2027-01-31 12:00:00 UTC", for the lines that tell an expiry.
std::string FormatExpiry(int64_t expires_at);

}  // namespace pendrakel::server

#endif  // PENDRAKEL_SERVER_TLS_TLS_CONTEXT_H_
