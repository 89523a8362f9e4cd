// StoreHost: a pendrakel-host serving its own copy of pendrakel.so, for the
// hardening tests. The module is copied into a fresh temporary folder with
// the settings file the test gives, so each host reads exactly those
// settings; the folder is removed with the object. The host process is
// killed by its id when the object goes (HostProcess).
//
// Besides starting the host it reads the STAT report as numbers and looks at
// the host process from outside: whether it still runs, the CPU time it has
// used, and its resident memory.
//
// Threads: Start and the destructor on the test's thread; everything else
// from any thread (each STAT opens its own connection or uses the caller's).
#ifndef PENDRAKEL_TESTS_HARDENING_STORE_HOST_H_
#define PENDRAKEL_TESTS_HARDENING_STORE_HOST_H_

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/server/host_process.h"
#include "tests/server/http_client.h"

namespace pendrakel::testing {

class StoreHost {
 public:
  // Null, with a test failure recorded, when the host does not start.
  // `settings` is the text of Pendrakel.setting (none when empty); `flags`
  // go to the host's command line.
  static std::unique_ptr<StoreHost> Start(
      const std::string& settings = "",
      const std::vector<std::string>& flags = {});
  ~StoreHost();
  StoreHost(const StoreHost&) = delete;
  StoreHost& operator=(const StoreHost&) = delete;

  int port() const { return process_->port(); }
  pid_t pid() const { return process_->pid(); }
  // The process exists and has not exited (a crashed host is a zombie until
  // reaped, which only the destructor does).
  bool Alive() const;
  // User plus system CPU time of the host process so far, in clock ticks.
  uint64_t CpuTicks() const;
  // VmRSS of the host process in bytes; 0 when it cannot be read.
  uint64_t ResidentBytes() const;

 private:
  StoreHost() = default;
  std::filesystem::path folder_;
  std::unique_ptr<HostProcess> process_;
};

// The STAT report by header name ("X-Memory-Total", "X-Counter-CMD-Get",
// ...), each line read as an unsigned number.
using StatReport = std::map<std::string, uint64_t>;

// Parses the header lines of a STAT answer; nothing when it is not one.
std::optional<StatReport> ParseStat(const HttpResponse& response);
// One STAT on a fresh connection.
std::optional<StatReport> ReadStat(int port);
// One STAT on the caller's keep-alive connection.
std::optional<StatReport> ReadStat(HttpClient& client);

// The head of a PUT of `length` body bytes under `name`.
std::string PutHead(const std::string& name, size_t length);
// The status of storing `bytes` bytes under `name` (each the name's first
// letter) on a fresh connection; 0 when no answer came.
int Store(int port, const std::string& name, size_t bytes);

// The value of `name` in `report`, or UINT64_MAX when it is missing.
uint64_t StatValue(const std::optional<StatReport>& report,
                   const std::string& name);

}  // namespace pendrakel::testing

#endif  // PENDRAKEL_TESTS_HARDENING_STORE_HOST_H_
