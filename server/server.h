// Server: the running host: its I/O threads (one event loop each), the
// listener, the admin port, and the order of shutting down.
//
// All public functions are called from the main thread: Listen, then Start,
// then (on SIGINT/SIGTERM) Shutdown. The destructor stops whatever still
// runs.
#ifndef PENDRAKEL_SERVER_SERVER_H_
#define PENDRAKEL_SERVER_SERVER_H_

#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/isapi.h"
#include "server/admin/admin_listener.h"
#include "server/io/io_thread.h"
#include "server/io/listener.h"
#include "server/io/server_state.h"
#include "server/ops/access_log.h"
#include "server/options.h"
#include "server/tls/ticket_keys.h"
#include "server/tls/tls_counters.h"

namespace pendrakel::server {

class Server {
 public:
  // `options` must outlive the server; `proc` is the extension's
  // HttpExtensionProc, valid until Shutdown has returned.
  // `log` (null when off) must outlive the server.
  Server(const HostOptions& options, PFN_HTTPEXTENSIONPROC proc,
         AccessLog* log);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Makes the I/O threads' event loops and binds the listen addresses; a
  // one-line `error` on failure.
  bool Listen(std::string& error);
  // The plain port's address (REQUIRES: options.plain_listen), the TLS
  // port's (none when off).
  boost::asio::ip::tcp::endpoint endpoint() const;
  std::optional<boost::asio::ip::tcp::endpoint> tls_endpoint() const;
  // The admin port's address; none when it is off.
  std::optional<boost::asio::ip::tcp::endpoint> admin_endpoint() const;

  // Starts the I/O threads and accepting.
  // REQUIRES: Listen succeeded.
  void Start();

  // Stops accepting, closes idle connections, lets requests in progress
  // finish for the shutdown grace, then makes their client calls fail and
  // waits (bounded) for the last extension call to return. True when no
  // extension call runs any more; false when one is stuck, so the module must
  // not be unloaded.
  bool Shutdown();

  // SIGHUP: loads the TLS certificate and key again; new handshakes use
  // them from then on, those under way keep the old pair. A pair that fails
  // to load keeps the old one; `line` says what happened, in one line.
  // True when reloaded.
  bool ReloadTls(std::string& line);

 private:
  bool MakeThreads(std::string& error);
  bool ListenTls(std::string& error);
  // Hands `context` to every I/O thread.
  void UseTlsContext(const TlsContext& context);
  bool WaitForConnections(std::chrono::milliseconds limit);
  void StopThreads();

  ServerState state_;
  AccessLog* const log_;
  // The ticket keys every TLS context shares: they outlive the threads'
  // contexts and sessions.
  TicketKeys ticket_keys_;
  std::vector<std::unique_ptr<IoThread>> io_threads_;
  std::unique_ptr<Listener> listener_;
  // The TLS port: its listener (null when off) and the figures of the
  // metrics page.
  std::unique_ptr<Listener> tls_listener_;
  TlsFigures tls_figures_;
  std::unique_ptr<AdminListener> admin_;
  std::vector<std::thread> threads_;
};

}  // namespace pendrakel::server

#endif  // PENDRAKEL_SERVER_SERVER_H_
