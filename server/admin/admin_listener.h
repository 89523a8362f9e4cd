// AdminListener: the operators' port (--admin-listen), serving
//   GET /metrics  the metrics page (server/metrics_page.h), which asks the
//                 extension for one STAT report per scrape;
//   GET /healthz  200 "ok" while serving, 503 "stopping" from the moment
//                 shutting down begins, so a balancer stops sending first.
// Nothing on this port reaches the store's collections or is counted in the
// host's traffic figures.
//
// At most kMaxAdminConnections are open at once; one more is answered 503
// and closed. When accepting fails (out of descriptors), it pauses for
// kAcceptRetryDelay instead of spinning.
//
// It runs on a thread of its own with its own io_context, so a scrape never
// waits behind client traffic nor client traffic behind a scrape. Open on
// the main thread before Start; Start and Stop on the main thread; the
// accept chain and the sessions on the admin thread.
#ifndef PENDRAKEL_SERVER_ADMIN_ADMIN_LISTENER_H_
#define PENDRAKEL_SERVER_ADMIN_ADMIN_LISTENER_H_

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "server/io/event_loop.h"
#include "server/io/server_state.h"
#include "server/io/traffic_counters.h"
#include "server/tls/tls_counters.h"

namespace pendrakel::server {

class AccessLog;

class AdminListener {
 public:
  // `state`, the counters and `log` (null when the access log is off) must
  // outlive the listener; `backend` is the I/O threads' event loop, for the
  // metrics page; `tls` the TLS port's figures (null when it is off).
  AdminListener(const ServerState& state,
                std::vector<const TrafficCounters*> threads, IoBackend backend,
                const AccessLog* log, const TlsFigures* tls);
  ~AdminListener();
  AdminListener(const AdminListener&) = delete;
  AdminListener& operator=(const AdminListener&) = delete;

  // Binds and listens; on failure false with a one-line `error`.
  bool Open(const boost::asio::ip::tcp::endpoint& endpoint, std::string& error);
  boost::asio::ip::tcp::endpoint local_endpoint() const;

  void Start();
  // Closes the port and ends the thread. Idempotent.
  void Stop();

  // The answer to one admin request: status, content type and body.
  struct Answer {
    int status = 200;
    std::string content_type;
    std::string body;
  };
  // On the admin thread.
  Answer Respond(std::string_view method, std::string_view target);
  // An admin session began or ended; on the admin thread.
  void SessionOpened() { ++sessions_; }
  void SessionClosed() { --sessions_; }

 private:
  void Accept();

  const ServerState& state_;
  const std::vector<const TrafficCounters*> threads_;
  const IoBackend backend_;
  const AccessLog* const log_;
  const TlsFigures* const tls_;
  // Admin sessions open (at most kMaxAdminConnections); admin thread only.
  // Declared before the context, whose end destroys the last sessions.
  int sessions_ = 0;
  boost::asio::io_context context_{1};
  boost::asio::ip::tcp::acceptor acceptor_;
  // Paces accepting again after accepting failed.
  boost::asio::steady_timer retry_timer_;
  std::thread thread_;
  // STAT requests sent by scrapes; admin thread only.
  uint64_t stat_probes_ = 0;
};

}  // namespace pendrakel::server

#endif  // PENDRAKEL_SERVER_ADMIN_ADMIN_LISTENER_H_
