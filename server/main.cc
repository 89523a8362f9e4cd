// pendrakel-host: serves an extension module (pendrakel.so by default) over
// HTTP/1.1. See server/options.h for the command line.
#include <pthread.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>

#include "server/ops/descriptor_limit.h"
#include "server/ops/module_loader.h"
#include "server/ops/service_notify.h"
#include "server/ops/settings_check.h"
#include "server/options.h"
#include "server/server.h"
#include "server/tls/tls_context.h"

namespace {

using pendrakel::server::AccessLog;
using pendrakel::server::ExtensionModule;
using pendrakel::server::HostOptions;
using pendrakel::server::Server;

int Fail(const std::string& error) {
  std::cerr << "pendrakel-host: " << error << std::endl;
  return 1;
}

// The signals the main thread waits for. They are blocked from the start in
// every thread, the main one included, and taken with sigwait: no thread is
// ever interrupted by them, and none can miss one (a sanitizer's runtime
// may hold an asynchronous signal until its thread next wakes).
sigset_t StopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  return signals;
}

// Returns at SIGINT or SIGTERM; each SIGHUP before reopens the access log
// and reloads the TLS certificate.
void WaitForStop(AccessLog* log, Server& server, bool tls) {
  const sigset_t signals = StopSignals();
  for (;;) {
    int signal = 0;
    if (sigwait(&signals, &signal) != 0) continue;
    if (signal != SIGHUP) return;
    if (log != nullptr) log->Reopen();
    std::string line;
    if (tls) {
      (server.ReloadTls(line) ? std::cout : std::cerr)
          << "pendrakel-host: " << line << std::endl;
    }
  }
}

// The lines that say the host is ready; the first is also told to systemd.
std::string ReadyLines(const HostOptions& options, const Server& server) {
  using pendrakel::server::FormatEndpoint;
  std::string lines;
  if (options.plain_listen)
    lines = "listening on " + FormatEndpoint(server.endpoint()) + "\n";
  if (const auto tls = server.tls_endpoint())
    lines += "tls listening on " + FormatEndpoint(*tls) + "\n";
  if (const auto admin = server.admin_endpoint())
    lines += "admin listening on " + FormatEndpoint(*admin) + "\n";
  return lines;
}

int Serve(const HostOptions& options) {
  ExtensionModule module;
  std::string error;
  std::unique_ptr<AccessLog> log;
  if (!options.access_log.empty()) {
    log = AccessLog::Open(options.access_log,
                          static_cast<size_t>(options.io_threads), error);
    if (!log) return Fail(error);
    log->Start();
  }
  if (!module.Load(options.module_path, error)) return Fail(error);
  Server server(options, module.proc(), log.get());
  if (!server.Listen(error)) return Fail(error);
  if (!module.Start(error)) return Fail(error);
  server.Start();
  const std::string ready = ReadyLines(options, server);
  std::cout << ready << std::flush;
  pendrakel::server::NotifyReady(ready.substr(0, ready.find('\n')));
  WaitForStop(log.get(), server, options.tls_listen.has_value());
  pendrakel::server::NotifyStopping();
  if (!server.Shutdown()) {
    std::cerr << "pendrakel-host: requests still running after the shutdown "
                 "grace; exiting without unloading "
              << module.path() << std::endl;
    std::_Exit(1);
  }
  module.Stop();
  if (log) log->Stop();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  const auto parsed = pendrakel::server::ParseOptions(
      args, pendrakel::server::DefaultModulePath(), std::cout, std::cerr);
  if (!parsed.options) return parsed.exit_code;
  if (parsed.options->check_settings) {
    const int settings = pendrakel::server::CheckSettings(
        parsed.options->module_path, std::cout, std::cerr);
    if (parsed.options->tls_cert.empty()) return settings;
    const int pair = pendrakel::server::CheckTlsPair(parsed.options->tls_cert,
                                                     parsed.options->tls_key,
                                                     std::cout, std::cerr);
    return settings != 0 ? settings : pair;
  }
  std::signal(SIGPIPE, SIG_IGN);
  HostOptions options = *parsed.options;
  const pendrakel::server::DescriptorFit fit =
      pendrakel::server::FitConnectionsToDescriptors(options.max_connections);
  if (!fit.note.empty())
    std::cerr << "pendrakel-host: " << fit.note << std::endl;
  options.max_connections = fit.max_connections;
  const sigset_t stop_signals = StopSignals();
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);  // before any thread,
                                                       // for all of them
  return Serve(options);
}
