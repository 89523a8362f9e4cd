// ServerState: what every connection of the host shares: the options, the
// extension's request entry point, the upload pool, and the counters and
// flags of shutting down.
//
// Built by Server on the main thread before any I/O thread starts; the
// plain fields are read-only afterwards. The atomics are written by the main
// thread (flags), by the listener and by connection destructors (count), and
// read anywhere.
#ifndef PENDRAKEL_SERVER_SERVER_STATE_H_
#define PENDRAKEL_SERVER_SERVER_STATE_H_

#include <atomic>

#include "base/isapi.h"
#include "server/options.h"
#include "server/request_intake.h"
#include "server/worker_pool.h"

namespace pendrakel::server {

struct ServerState {
  ServerState(const HostOptions& host_options, PFN_HTTPEXTENSIONPROC entry)
      : options(host_options),
        intake_limits{host_options.max_head_bytes, host_options.max_body_bytes,
                      host_options.preload_bytes},
        proc(entry),
        pool(host_options.upload_threads) {}

  const HostOptions& options;
  const IntakeLimits intake_limits;
  const PFN_HTTPEXTENSIONPROC proc;
  WorkerPool pool;
  // Connections open now (accepted and not yet destroyed).
  std::atomic<int> live_connections{0};
  // Shutting down: no new requests; connections close after their response.
  std::atomic<bool> stopping{false};
  // The grace has run out: client I/O of running requests fails at once.
  std::atomic<bool> aborting{false};
};

}  // namespace pendrakel::server

#endif  // PENDRAKEL_SERVER_SERVER_STATE_H_
