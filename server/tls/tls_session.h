// TlsSession: the TLS of one client connection, without a socket. Its
// Connection feeds it the ciphertext the loop received (Feed) and sends
// the ciphertext it holds (cipher_out, then CipherSent); in between, the
// session makes the handshake, decrypts what the client sent (Read) and
// encrypts what is answered (Write). OpenSSL does all the TLS; this class
// only moves its bytes, through a BIO of its own over two strings, so the
// same session serves both event loops and holds no buffer it does not
// need: ciphertext waits here only between a receive and the read that
// takes it, and what Write made only until it is sent.
//
// What a connection holds is bounded by its callers: Write is given at
// most kTlsSendBatchBytes at a time and called again only once cipher_out
// is empty, so no more than one batch of ciphertext is ever held.
//
// One per TLS connection, on its I/O thread only. The session holds a
// reference to the context it was made with.
#ifndef PENDRAKEL_SERVER_TLS_TLS_SESSION_H_
#define PENDRAKEL_SERVER_TLS_TLS_SESSION_H_

#include <openssl/ssl.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "server/tls/tls_context.h"
#include "server/tls/tls_counters.h"

namespace pendrakel::server {

class TlsSession {
 public:
  // REQUIRES: `context` is not empty.
  explicit TlsSession(const TlsContext& context);
  ~TlsSession();
  TlsSession(const TlsSession&) = delete;
  TlsSession& operator=(const TlsSession&) = delete;

  enum class Status : uint8_t {
    kDone,    // the handshake is complete / bytes were read
    kWant,    // needs more ciphertext from the client
    kClosed,  // the client closed (close_notify, or the end of the stream)
    kFailed,  // a TLS error: failure() says which kind
  };

  // Where the handshake's flights go the moment OpenSSL finishes each, so
  // that the client works on them while the handshake's own bookkeeping
  // (deriving the next keys, sealing a ticket) goes on: `send` answers the
  // bytes it took, and what it did not take stays in cipher_out(). A TLS 1.3
  // ticket stays there too, for the first answer to carry. Unset,
  // everything waits in cipher_out().
  using FlightSender = size_t (*)(void* context, std::string_view cipher);
  void SendFlightsThrough(FlightSender send, void* context) {
    flight_sender_ = send;
    flight_context_ = context;
  }

  // Ciphertext the client sent.
  void Feed(const char* data, size_t size);
  // The client closed its side: nothing more will be fed.
  void FeedEnd() { ended_ = true; }

  bool established() const { return established_; }
  // Goes on with the handshake. REQUIRES: !established().
  Status Handshake();
  // Decrypts up to `size` bytes into `into`; `got` the count with kDone.
  // REQUIRES: established().
  Status Read(void* into, size_t size, size_t& got);
  // Encrypts `data` (at most kTlsSendBatchBytes) into cipher_out.
  // REQUIRES: established(); false on a TLS error.
  bool Write(std::string_view data);

  // Queues the close_notify alert in cipher_out, once: the client may then
  // keep the session for resuming. REQUIRES: established().
  void Shutdown();

  // Ciphertext not sent yet; valid until the next call that changes it.
  std::string_view cipher_out() const {
    return std::string_view(out_).substr(out_begin_);
  }
  void CipherSent(size_t size);

  // After kFailed: the kind of failure, for the metrics; and whether the
  // client spoke plain HTTP (it is then told 400 in the clear).
  TlsFailure failure() const { return failure_; }
  bool plain_http() const { return plain_http_; }

  // For the access log, once established: "TLSv1.3", the cipher's name.
  std::string_view version() const;
  std::string_view cipher() const;
  bool resumed() const;

 private:
  static BIO_METHOD* Method();
  static int BioRead(BIO* bio, char* into, int size);
  static int BioWrite(BIO* bio, const char* data, int size);
  static long BioControl(BIO* bio, int command, long number, void* pointer);
  Status Fail(int result);
  void Compact();

  SSL* const ssl_;
  // Ciphertext received, [in_begin_, size) not taken by OpenSSL yet.
  std::string in_;
  size_t in_begin_ = 0;
  // Ciphertext to send, [out_begin_, size) not sent yet.
  std::string out_;
  size_t out_begin_ = 0;
  FlightSender flight_sender_ = nullptr;
  void* flight_context_ = nullptr;
  bool ended_ = false;
  bool established_ = false;
  bool plain_http_ = false;
  TlsFailure failure_ = TlsFailure::kOther;
};

}  // namespace pendrakel::server

#endif  // PENDRAKEL_SERVER_TLS_TLS_SESSION_H_
