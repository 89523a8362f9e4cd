#include "server/options.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <filesystem>
#include <ostream>
#include <thread>

#include "server/limits.h"

#ifndef PENDRAKEL_VERSION
#define PENDRAKEL_VERSION "unknown"
#endif

// The installed module's folder relative to the executable's folder
// (bin/../lib/pendrakel), so that an installed tree can be moved whole.
#ifndef PENDRAKEL_INSTALLED_MODULE_DIR
#define PENDRAKEL_INSTALLED_MODULE_DIR "../lib/pendrakel"
#endif

namespace pendrakel::server {
namespace {

constexpr char kDefaultListen[] = "127.0.0.1:8080";
constexpr char kModuleFileName[] = "pendrakel.so";

int DefaultIoThreads() {
  const unsigned cores = std::thread::hardware_concurrency();
  return cores == 0 ? 1 : static_cast<int>(cores);
}

// Seconds flags share one shape: a whole number from 1 to a day.
void AddSeconds(CLI::App& app, const std::string& name, int64_t& seconds,
                const std::string& what) {
  app.add_option(name, seconds, what + " (seconds)")
      ->capture_default_str()
      ->check(CLI::Range(int64_t{1}, kMaxTimeout.count()));
}

struct RawOptions {
  std::string listen = kDefaultListen;
  std::string admin_listen;
  std::string tls_listen;
  std::string tls_cert;
  std::string tls_key;
  std::string access_log;
  bool check = false;
  std::string module;
  int io_threads = DefaultIoThreads();
  std::string io = "auto";
  std::string removed_upload_threads;
  size_t max_head = kDefaultMaxHeadBytes;
  uint64_t max_body = kDefaultMaxBodyBytes;
  size_t preload = kDefaultPreloadBytes;
  int64_t read_timeout = kDefaultReadTimeout.count();
  int64_t write_timeout = kDefaultWriteTimeout.count();
  int64_t head_timeout = kDefaultHeadTimeout.count();
  int64_t idle_timeout = kDefaultIdleTimeout.count();
  int64_t shutdown_grace = kDefaultShutdownGrace.count();
  int max_connections = kDefaultMaxConnections;
  uint64_t drain_limit = kDefaultDrainLimitBytes;
  uint64_t max_upload = kDefaultMaxUploadBytes;
  uint64_t min_upload_rate = kDefaultMinUploadRate;
  uint64_t min_upload_average = kDefaultMinUploadAverage;
};

void DefineFlags(CLI::App& app, RawOptions& raw) {
  app.set_version_flag("--version",
                       std::string("pendrakel-host ") + PENDRAKEL_VERSION);
  app.add_option("--listen", raw.listen,
                 "Address and port to serve plain HTTP on, ADDR:PORT; port 0 "
                 "picks a free one; none: no plain port")
      ->capture_default_str();
  app.add_option("--tls-listen", raw.tls_listen,
                 "Address and port to serve HTTPS on, ADDR:PORT; off when "
                 "not given");
  app.add_option("--tls-cert", raw.tls_cert,
                 "The HTTPS certificate chain, PEM, leaf first; SIGHUP "
                 "reloads it");
  app.add_option("--tls-key", raw.tls_key,
                 "The certificate's private key, PEM (default: in the "
                 "--tls-cert file)");
  app.add_option("--admin-listen", raw.admin_listen,
                 "Address and port of the operators' port (GET /metrics, "
                 "GET /healthz), ADDR:PORT; off when not given");
  app.add_flag("--check", raw.check,
               "Check the settings file beside the module, print what is "
               "wrong with it or the values it gives, and exit");
  app.add_option("--access-log", raw.access_log,
                 "Write a line per request to this file (- for standard "
                 "output); SIGHUP reopens it");
  app.add_option("--module", raw.module,
                 "Extension module to load (default: pendrakel.so beside "
                 "this executable, else in " PENDRAKEL_INSTALLED_MODULE_DIR
                 " from there)");
  app.add_option("--threads", raw.io_threads, "I/O threads")
      ->capture_default_str()
      ->check(CLI::Range(1, kMaxThreads));
  app.add_option("--io", raw.io,
                 "Event loop of the I/O threads: auto (io_uring where the "
                 "kernel allows it, else epoll) or epoll")
      ->capture_default_str()
      ->check(CLI::IsMember({"auto", "epoll"}));
  // Gone: uploads no longer hold threads. Hidden, and refused by name.
  app.add_option("--upload-threads", raw.removed_upload_threads)->group("");
  app.add_option("--max-head", raw.max_head,
                 "Largest request head in bytes (else 431)")
      ->capture_default_str()
      ->check(CLI::Range(kMinHeadLimitBytes, kMaxHeadLimitBytes));
  app.add_option("--max-body", raw.max_body,
                 "Largest request body in bytes (else 413)")
      ->capture_default_str()
      ->check(CLI::Range(uint64_t{0}, kMaxBodyCeilingBytes));
  app.add_option("--preload", raw.preload,
                 "Body bytes gathered before the extension is called")
      ->capture_default_str()
      ->check(CLI::Range(size_t{0}, kMaxPreloadBytes));
  AddSeconds(app, "--read-timeout", raw.read_timeout,
             "Silence from a client sending a body before it is dropped");
  AddSeconds(app, "--write-timeout", raw.write_timeout,
             "Time a client may take no response bytes");
  AddSeconds(app, "--head-timeout", raw.head_timeout,
             "Time to send a complete request head");
  AddSeconds(app, "--idle-timeout", raw.idle_timeout,
             "Idle time before a kept-alive connection is closed");
  AddSeconds(app, "--shutdown-grace", raw.shutdown_grace,
             "Time requests in progress get to finish on SIGINT/SIGTERM");
  app.add_option("--max-connections", raw.max_connections,
                 "Connections open at once (one more is answered 503)")
      ->capture_default_str()
      ->check(CLI::Range(1, kMaxConnectionsCeiling));
  app.add_option("--drain-limit", raw.drain_limit,
                 "Unread body bytes dropped to keep a connection (more "
                 "close it)")
      ->capture_default_str();
  app.add_option("--max-upload-bytes", raw.max_upload,
                 "Body bytes of uploads in progress, host-wide (more wait, "
                 "then 503)")
      ->capture_default_str()
      ->check(CLI::Range(uint64_t{1}, UINT64_MAX / 2));
  app.add_option("--min-upload-rate", raw.min_upload_rate,
                 "Bytes per second a client sending a body must keep up over "
                 "each --read-timeout (else 408)")
      ->capture_default_str()
      ->check(CLI::Range(uint64_t{0}, kMaxUploadRateCeiling));
  app.add_option("--min-upload-average", raw.min_upload_average,
                 "Bytes per second a body of declared length must average: "
                 "it gets --read-timeout plus its length at this rate (else "
                 "408); 0 sets no such deadline")
      ->capture_default_str()
      ->check(CLI::Range(uint64_t{0}, kMaxUploadRateCeiling));
}

// The TLS flags are all there or all away (--tls-key aside), and something
// is served; what is wrong, or null. Sets options.tls_listen.
const char* TlsFlagsWrong(const RawOptions& raw, HostOptions& options) {
  if (!raw.tls_listen.empty()) {
    options.tls_listen = ParseListenAddress(raw.tls_listen);
    if (!options.tls_listen) return "--tls-listen wants ADDR:PORT";
    if (raw.tls_cert.empty()) return "--tls-listen needs --tls-cert";
  } else if (!raw.tls_cert.empty() && !raw.check) {
    return "--tls-cert needs --tls-listen";
  }
  if (!raw.tls_key.empty() && raw.tls_cert.empty())
    return "--tls-key needs --tls-cert";
  if (!options.plain_listen && !options.tls_listen)
    return "--listen none needs --tls-listen";
  return nullptr;
}

HostOptions ToOptions(const RawOptions& raw,
                      const boost::asio::ip::tcp::endpoint& listen,
                      const std::string& default_module) {
  HostOptions options;
  options.listen = listen;
  options.module_path = raw.module.empty() ? default_module : raw.module;
  options.tls_cert = raw.tls_cert;
  options.tls_key = raw.tls_key;
  options.access_log = raw.access_log;
  options.check_settings = raw.check;
  options.io_threads = raw.io_threads;
  options.io = raw.io == "epoll" ? IoChoice::kEpoll : IoChoice::kAuto;
  options.max_head_bytes = raw.max_head;
  options.max_body_bytes = raw.max_body;
  options.preload_bytes = raw.preload;
  options.read_timeout = std::chrono::seconds(raw.read_timeout);
  options.write_timeout = std::chrono::seconds(raw.write_timeout);
  options.head_timeout = std::chrono::seconds(raw.head_timeout);
  options.idle_timeout = std::chrono::seconds(raw.idle_timeout);
  options.shutdown_grace = std::chrono::seconds(raw.shutdown_grace);
  options.max_connections = raw.max_connections;
  options.drain_limit_bytes = raw.drain_limit;
  options.max_upload_bytes = raw.max_upload;
  options.min_upload_rate = raw.min_upload_rate;
  options.min_upload_average = raw.min_upload_average;
  return options;
}

}  // namespace

ParsedCommandLine ParseOptions(const std::vector<std::string>& args,
                               const std::string& default_module,
                               std::ostream& out, std::ostream& err) {
  CLI::App app{"pendrakel-host: serves an extension module over HTTP/1.1",
               "pendrakel-host"};
  RawOptions raw;
  DefineFlags(app, raw);
  std::vector<std::string> reversed(args.rbegin(), args.rend());
  ParsedCommandLine result;
  try {
    app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    out << app.help();
    return result;
  } catch (const CLI::CallForVersion&) {
    out << app.version() << "\n";
    return result;
  } catch (const CLI::ParseError& error) {
    err << "pendrakel-host: " << error.what() << " (see --help)\n";
    result.exit_code = 2;
    return result;
  }
  if (app.count("--upload-threads") > 0) {
    err << "pendrakel-host: --upload-threads is gone: uploads no longer hold "
           "threads; --max-upload-bytes and --min-upload-rate bound them\n";
    result.exit_code = 2;
    return result;
  }
  const bool plain = raw.listen != "none";
  const auto listen = plain ? ParseListenAddress(raw.listen)
                            : ParseListenAddress(kDefaultListen);
  if (!listen) {
    err << "pendrakel-host: --listen wants ADDR:PORT, got \"" << raw.listen
        << "\"\n";
    result.exit_code = 2;
    return result;
  }
  result.options = ToOptions(raw, *listen, default_module);
  result.options->plain_listen = plain;
  if (const char* wrong = TlsFlagsWrong(raw, *result.options)) {
    err << "pendrakel-host: " << wrong << "\n";
    result.options.reset();
    result.exit_code = 2;
    return result;
  }
  if (!raw.admin_listen.empty()) {
    result.options->admin_listen = ParseListenAddress(raw.admin_listen);
    if (!result.options->admin_listen) {
      err << "pendrakel-host: --admin-listen wants ADDR:PORT, got \""
          << raw.admin_listen << "\"\n";
      result.options.reset();
      result.exit_code = 2;
    }
  }
  return result;
}

std::optional<boost::asio::ip::tcp::endpoint> ParseListenAddress(
    const std::string& text) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon + 1 == text.size()) return {};
  std::string host = text.substr(0, colon);
  const std::string port_text = text.substr(colon + 1);
  if (port_text.size() > 5 ||
      port_text.find_first_not_of("0123456789") != std::string::npos) {
    return {};
  }
  const unsigned long port = std::stoul(port_text);
  if (port > 65535) return {};
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  } else if (host.find(':') != std::string::npos) {
    return {};  // an IPv6 address needs its brackets
  }
  if (host == "localhost") host = "127.0.0.1";
  boost::system::error_code error;
  const auto address = boost::asio::ip::make_address(host, error);
  if (error) return {};
  return boost::asio::ip::tcp::endpoint(address,
                                        static_cast<unsigned short>(port));
}

std::string FormatEndpoint(const boost::asio::ip::tcp::endpoint& endpoint) {
  const std::string address = endpoint.address().to_string();
  const std::string port = std::to_string(endpoint.port());
  if (endpoint.address().is_v6()) return "[" + address + "]:" + port;
  return address + ":" + port;
}

std::string DefaultModulePath() {
  std::error_code error;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return kModuleFileName;
  const auto beside = exe.parent_path() / kModuleFileName;
  if (std::filesystem::exists(beside, error)) return beside.string();
  const auto installed =
      exe.parent_path() / PENDRAKEL_INSTALLED_MODULE_DIR / kModuleFileName;
  return installed.lexically_normal().string();
}

}  // namespace pendrakel::server
