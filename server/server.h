// Server: the running host: its I/O threads (one io_context each), the
// listener, the upload pool and the order of shutting down.
//
// All public functions are called from the main thread: Listen, then Start,
// then (on SIGINT/SIGTERM) Shutdown. The destructor stops whatever still
// runs.
#ifndef PENDRAKEL_SERVER_SERVER_H_
#define PENDRAKEL_SERVER_SERVER_H_

#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/isapi.h"
#include "server/io_thread.h"
#include "server/listener.h"
#include "server/options.h"
#include "server/server_state.h"

namespace pendrakel::server {

class Server {
 public:
  // `options` must outlive the server; `proc` is the extension's
  // HttpExtensionProc, valid until Shutdown has returned.
  Server(const HostOptions& options, PFN_HTTPEXTENSIONPROC proc);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Binds the listen address; a one-line `error` on failure.
  bool Listen(std::string& error);
  boost::asio::ip::tcp::endpoint endpoint() const;

  // Starts the I/O threads and accepting.
  void Start();

  // Stops accepting, closes idle connections, lets requests in progress
  // finish for the shutdown grace, then cuts their client I/O and waits
  // (bounded) for the last extension call to return. True when no extension
  // call runs any more; false when one is stuck, so the module must not be
  // unloaded.
  bool Shutdown();

 private:
  bool WaitForConnections(std::chrono::milliseconds limit);
  void StopThreads();

  ServerState state_;
  std::vector<std::unique_ptr<IoThread>> io_threads_;
  std::unique_ptr<Listener> listener_;
  std::vector<std::thread> threads_;
};

}  // namespace pendrakel::server

#endif  // PENDRAKEL_SERVER_SERVER_H_
