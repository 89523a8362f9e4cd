// ServerState: what every connection of the host shares: the options, the
// extension's request entry point, the bounds on open connections and on
// uploads in progress and on fiber stacks mapped, the gauge of requests
// waiting for their client, and the flags of shutting down.
//
// Built by Server on the main thread before any I/O thread starts; the
// plain fields are read-only afterwards. The atomics are written by the main
// thread (flags) and by the I/O threads (counts), and read anywhere; each is
// a count or a flag on its own, so relaxed order suffices.
#ifndef PENDRAKEL_SERVER_IO_SERVER_STATE_H_
#define PENDRAKEL_SERVER_IO_SERVER_STATE_H_

#include <atomic>

#include "base/isapi.h"
#include "server/http/request_intake.h"
#include "server/io/connection_slots.h"
#include "server/io/fiber.h"
#include "server/io/upload_budget.h"
#include "server/options.h"

namespace pendrakel::server {

struct ServerState {
  ServerState(const HostOptions& host_options, PFN_HTTPEXTENSIONPROC entry)
      : options(host_options),
        intake_limits{host_options.max_head_bytes, host_options.max_body_bytes,
                      host_options.preload_bytes},
        proc(entry),
        connections(host_options.max_connections),
        uploads(host_options.max_upload_bytes),
        fiber_stacks(FiberStackBound::ForThisMachine()) {}

  bool stopping_now() const { return stopping.load(std::memory_order_relaxed); }
  bool aborting_now() const { return aborting.load(std::memory_order_relaxed); }

  const HostOptions& options;
  const IntakeLimits intake_limits;
  const PFN_HTTPEXTENSIONPROC proc;
  ConnectionSlots connections;
  UploadBudget uploads;
  FiberStackBound fiber_stacks;
  // Requests whose fiber is parked waiting for its client.
  std::atomic<int> parked_requests{0};
  // Shutting down: no new requests; connections close after their response.
  std::atomic<bool> stopping{false};
  // The grace has run out: client I/O of running requests fails at once.
  std::atomic<bool> aborting{false};
};

}  // namespace pendrakel::server

#endif  // PENDRAKEL_SERVER_IO_SERVER_STATE_H_
