// TlsThread: what one I/O thread keeps for its TLS connections: the
// context new handshakes use (replaced when a reload's notice arrives;
// sessions under way keep their own reference), its handshake counters,
// the buffer decrypted bytes are read into before the connection's steps
// take them (valid until the next read, as a lent buffer is), and the one
// ciphertext taken straight from a socket goes through on its way to a
// session.
//
// Owned by its IoThread; everything on that thread but the counters, which
// the admin thread reads.
#ifndef PENDRAKEL_SERVER_TLS_TLS_THREAD_H_
#define PENDRAKEL_SERVER_TLS_TLS_THREAD_H_

#include <array>

#include "server/limits.h"
#include "server/tls/tls_context.h"
#include "server/tls/tls_counters.h"

namespace pendrakel::server {

struct TlsThread {
  TlsContext context;
  TlsCounters counters;
  std::array<char, kTlsReadChunkBytes> plain{};
  std::array<char, kTlsReadChunkBytes> cipher{};
};

}  // namespace pendrakel::server

#endif  // PENDRAKEL_SERVER_TLS_TLS_THREAD_H_
