// ServerState: what every connection of the host shares: the options, the
// extension's request entry point, the budget of body bytes in progress,
// the gauges of what waits, and the flags of shutting down.
//
// Built by Server on the main thread before any I/O thread starts; the
// plain fields are read-only afterwards. The atomics are written by the main
// thread (flags), by the listener and by connections (counts), and read
// anywhere; each is a count on its own, so relaxed order suffices.
#ifndef PENDRAKEL_SERVER_IO_SERVER_STATE_H_
#define PENDRAKEL_SERVER_IO_SERVER_STATE_H_

#include <atomic>

#include "base/isapi.h"
#include "server/http/request_intake.h"
#include "server/options.h"

namespace pendrakel::server {

struct ServerState {
  ServerState(const HostOptions& host_options, PFN_HTTPEXTENSIONPROC entry)
      : options(host_options),
        intake_limits{host_options.max_head_bytes, host_options.max_body_bytes,
                      host_options.preload_bytes},
        proc(entry) {}

  const HostOptions& options;
  const IntakeLimits intake_limits;
  const PFN_HTTPEXTENSIONPROC proc;
  // Connections open now (accepted and not yet destroyed), and all those
  // accepted and turned away at the connection limit.
  std::atomic<int> live_connections{0};
  std::atomic<uint64_t> connections_accepted{0};
  std::atomic<uint64_t> connections_refused{0};
  // Body bytes reserved by uploads in progress (declared Content-Length
  // past the preload, or chunked bytes gathered), and those uploads.
  std::atomic<uint64_t> upload_bytes{0};
  std::atomic<int> uploads{0};
  // Requests whose fiber is parked waiting for its client.
  std::atomic<int> parked_requests{0};
  // Shutting down: no new requests; connections close after their response.
  std::atomic<bool> stopping{false};
  // The grace has run out: client I/O of running requests fails at once.
  std::atomic<bool> aborting{false};
};

}  // namespace pendrakel::server

#endif  // PENDRAKEL_SERVER_IO_SERVER_STATE_H_
