// TicketKeys: the keys that seal session tickets (TLS 1.3 and TLS 1.2
// alike), so that a returning client resumes without a full handshake and
// the host keeps no session state. A new key is made every
// kTicketKeyPeriod; the one before it still opens tickets for one more
// period (such a ticket is then renewed under the new key; a TLS 1.3
// ticket is renewed at every use, as its clients use one once), older ones are
// forgotten, so a ticket lives between one and two periods and a key that
// leaks opens at most two periods of sessions. The keys are made with
// OpenSSL's random generator and never leave the process: a restart
// forgets them, so clients make a full handshake once.
//
// One per host, shared by every TLS context (a certificate reload keeps the
// keys, so clients keep resuming); it must outlive them. Install sets a
// context's ticket callback, which runs on the I/O threads during
// handshakes; mutex_ guards the keys, held only to copy one.
#ifndef PENDRAKEL_SERVER_TLS_TICKET_KEYS_H_
#define PENDRAKEL_SERVER_TLS_TICKET_KEYS_H_

#include <openssl/ssl.h>

#include <array>
#include <chrono>
#include <cstdint>

#include "base/mutex.h"
#include "base/thread_annotations.h"

namespace pendrakel::server {

class TicketKeys {
 public:
  using Clock = std::chrono::steady_clock;

  TicketKeys();
  TicketKeys(const TicketKeys&) = delete;
  TicketKeys& operator=(const TicketKeys&) = delete;

  // `context` seals and opens its tickets with these keys from now on.
  void Install(SSL_CTX* context);

 private:
  struct Key {
    std::array<unsigned char, 16> name{};
    std::array<unsigned char, 32> cipher{};
    std::array<unsigned char, 32> mac{};
  };
  static constexpr size_t kNameBytes = 16;

  static int OnTicket(SSL* ssl, unsigned char* name, unsigned char* iv,
                      EVP_CIPHER_CTX* cipher, EVP_MAC_CTX* mac, int encrypt);
  // The key to seal with now (made anew when its period is over).
  Key Current() EXCLUDES(mutex_);
  // The key named `name`; 0 when forgotten, 1 the current one, 2 the
  // previous one (the ticket is then renewed).
  int Find(const unsigned char* name, Key& key) EXCLUDES(mutex_);
  void RotateIfDue(Clock::time_point now) REQUIRES(mutex_);
  static bool Make(Key& key);

  Mutex mutex_;
  Key current_ GUARDED_BY(mutex_);
  Key previous_ GUARDED_BY(mutex_);
  bool has_previous_ GUARDED_BY(mutex_) = false;
  Clock::time_point next_rotation_ GUARDED_BY(mutex_);
};

}  // namespace pendrakel::server

#endif  // PENDRAKEL_SERVER_TLS_TICKET_KEYS_H_
