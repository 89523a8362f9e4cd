// HostOptions: the command line of pendrakel-host, parsed with CLI11 into
// the listen address, the module path, the thread counts and every limit of
// server/limits.h.
//
// ParseOptions runs once on the main thread before anything else starts; the
// result is read-only afterwards and shared by all threads without a lock.
#ifndef PENDRAKEL_SERVER_OPTIONS_H_
#define PENDRAKEL_SERVER_OPTIONS_H_

#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace pendrakel::server {

// The event loop the I/O threads run (--io): io_uring where the kernel
// allows it, else epoll; or epoll alone.
enum class IoChoice { kAuto, kEpoll };

struct HostOptions {
  // The plain HTTP port (unused when plain_listen is false: --listen none).
  boost::asio::ip::tcp::endpoint listen;
  bool plain_listen = true;
  // The HTTPS port, none when off; its certificate chain and key files
  // (tls_key empty: the key is in tls_cert).
  std::optional<boost::asio::ip::tcp::endpoint> tls_listen;
  std::string tls_cert;
  std::string tls_key;
  // The operators' port; none when off.
  std::optional<boost::asio::ip::tcp::endpoint> admin_listen;
  std::string module_path;
  std::string access_log;  // a path, "-" for standard output, empty: off
  // Check the module's settings file and exit, instead of serving.
  bool check_settings = false;
  int io_threads = 1;
  IoChoice io = IoChoice::kAuto;
  size_t max_head_bytes = 0;
  uint64_t max_body_bytes = 0;
  size_t preload_bytes = 0;
  std::chrono::seconds read_timeout{0};
  std::chrono::seconds write_timeout{0};
  std::chrono::seconds head_timeout{0};
  std::chrono::seconds idle_timeout{0};
  std::chrono::seconds shutdown_grace{0};
  int max_connections = 0;
  uint64_t drain_limit_bytes = 0;
  uint64_t max_upload_bytes = 0;
  uint64_t min_upload_rate = 0;     // bytes per second
  uint64_t min_upload_average = 0;  // bytes per second; 0: no deadline
};

// What the caller does after parsing: serve with `options`, or exit at once
// with `exit_code` (after --help, --version or a bad command line; the text
// has already been written to `out` or `err`).
struct ParsedCommandLine {
  std::optional<HostOptions> options;
  int exit_code = 0;
};

// Parses argv[1..]. `default_module` is the module used when --module is
// not given (DefaultModulePath()). Errors are one line on `err`, exit code
// 2.
ParsedCommandLine ParseOptions(const std::vector<std::string>& args,
                               const std::string& default_module,
                               std::ostream& out, std::ostream& err);

// "ADDR:PORT" with a numeric IPv4 address, a bracketed IPv6 address or
// "localhost"; port 0 to 65535. Nothing when malformed.
std::optional<boost::asio::ip::tcp::endpoint> ParseListenAddress(
    const std::string& text);

// "ADDR:PORT" as printed in the "listening on" line.
std::string FormatEndpoint(const boost::asio::ip::tcp::endpoint& endpoint);

// pendrakel.so in the folder of the running executable (the build tree)
// when it is there, else in the installed layout's module folder,
// bin/../lib/pendrakel/ relative to the executable.
std::string DefaultModulePath();

}  // namespace pendrakel::server

#endif  // PENDRAKEL_SERVER_OPTIONS_H_
