#include "server/tls/ticket_keys.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/rand.h>

#include <cstdlib>
#include <cstring>

#include "server/limits.h"

namespace pendrakel::server {

TicketKeys::TicketKeys() {
  MutexLock lock(mutex_);
  // Without randomness for the first key there is nothing safe to do.
  if (!Make(current_)) std::abort();
  next_rotation_ = Clock::now() + kTicketKeyPeriod;
}

void TicketKeys::Install(SSL_CTX* context) {
  SSL_CTX_set_app_data(context, this);
  SSL_CTX_set_tlsext_ticket_key_evp_cb(context, &TicketKeys::OnTicket);
  // Clients are told a ticket is good for one period: it always is.
  SSL_CTX_set_timeout(
      context,
      static_cast<long>(
          std::chrono::duration_cast<std::chrono::seconds>(kTicketKeyPeriod)
              .count()));
}

bool TicketKeys::Make(Key& key) {
  return RAND_bytes(key.name.data(), static_cast<int>(key.name.size())) == 1 &&
         RAND_priv_bytes(key.cipher.data(),
                         static_cast<int>(key.cipher.size())) == 1 &&
         RAND_priv_bytes(key.mac.data(), static_cast<int>(key.mac.size())) == 1;
}

void TicketKeys::RotateIfDue(Clock::time_point now) {
  if (now < next_rotation_) return;
  Key fresh;
  if (!Make(fresh)) return;  // keep sealing with the current one
  previous_ = current_;
  has_previous_ = true;
  current_ = fresh;
  // A host idle for longer than a period forgets the older key too.
  if (now >= next_rotation_ + kTicketKeyPeriod) has_previous_ = false;
  next_rotation_ = now + kTicketKeyPeriod;
}

TicketKeys::Key TicketKeys::Current() {
  MutexLock lock(mutex_);
  RotateIfDue(Clock::now());
  return current_;
}

int TicketKeys::Find(const unsigned char* name, Key& key) {
  MutexLock lock(mutex_);
  RotateIfDue(Clock::now());
  if (std::memcmp(name, current_.name.data(), kNameBytes) == 0) {
    key = current_;
    return 1;
  }
  if (has_previous_ &&
      std::memcmp(name, previous_.name.data(), kNameBytes) == 0) {
    key = previous_;
    return 2;
  }
  return 0;
}

int TicketKeys::OnTicket(SSL* ssl, unsigned char* name, unsigned char* iv,
                         EVP_CIPHER_CTX* cipher, EVP_MAC_CTX* mac,
                         int encrypt) {
  auto* keys =
      static_cast<TicketKeys*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
  Key key;
  int found = 1;
  if (encrypt == 1) {
    key = keys->Current();
    std::memcpy(name, key.name.data(), kNameBytes);
    if (RAND_bytes(iv, EVP_CIPHER_get_iv_length(EVP_aes_256_cbc())) != 1)
      return -1;
  } else {
    found = keys->Find(name, key);
    if (found == 0) return 0;  // a full handshake, and a fresh ticket
    // A TLS 1.3 client uses a ticket once: without a new one after each
    // resumption, every other connection would be a full handshake.
    if (SSL_version(ssl) >= TLS1_3_VERSION) found = 2;
  }
  char digest[] = "SHA256";
  const OSSL_PARAM params[] = {
      OSSL_PARAM_construct_octet_string(OSSL_MAC_PARAM_KEY, key.mac.data(),
                                        key.mac.size()),
      OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
      OSSL_PARAM_construct_end()};
  const bool ready =
      EVP_MAC_CTX_set_params(mac, params) == 1 &&
      (encrypt == 1 ? EVP_EncryptInit_ex(cipher, EVP_aes_256_cbc(), nullptr,
                                         key.cipher.data(), iv)
                    : EVP_DecryptInit_ex(cipher, EVP_aes_256_cbc(), nullptr,
                                         key.cipher.data(), iv)) == 1;
  OPENSSL_cleanse(&key, sizeof key);
  return ready ? found : -1;
}

}  // namespace pendrakel::server
