#include "tests/hardening/store_host.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#ifndef PENDRAKEL_MODULE
#error "PENDRAKEL_MODULE must name the pendrakel.so built beside the tests"
#endif

namespace pendrakel::testing {
namespace {

namespace fs = std::filesystem;

// The fields of /proc/<pid>/stat after the command name, from the state
// letter on; empty when the process is gone.
std::string StatFields(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!std::getline(stat, text)) return {};
  const size_t close = text.rfind(')');
  if (close == std::string::npos || close + 2 >= text.size()) return {};
  return text.substr(close + 2);
}

// The state letter ('Z' for an exited, unreaped child), or 0 when the
// process is gone.
char ProcessState(pid_t pid) {
  const std::string fields = StatFields(pid);
  return fields.empty() ? 0 : fields[0];
}

}  // namespace

std::unique_ptr<StoreHost> StoreHost::Start(
    const std::string& settings, const std::vector<std::string>& flags) {
  std::unique_ptr<StoreHost> host(new StoreHost());
  std::string pattern =
      (fs::temp_directory_path() / "pendrakel-hardening-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    ADD_FAILURE() << "cannot make a temporary folder";
    return nullptr;
  }
  host->folder_ = pattern;
  const fs::path module = host->folder_ / "pendrakel.so";
  fs::copy_file(PENDRAKEL_MODULE, module);
  if (!settings.empty())
    std::ofstream(host->folder_ / "Pendrakel.setting") << settings;
  std::vector<std::string> args = {"--module", module.string()};
  args.insert(args.end(), flags.begin(), flags.end());
  std::string failure;
  host->process_ = HostProcess::Start(args, &failure);
  if (!host->process_) {
    ADD_FAILURE() << "pendrakel-host did not start: " << failure;
    return nullptr;
  }
  return host;
}

StoreHost::~StoreHost() {
  process_.reset();
  std::error_code ignored;
  fs::remove_all(folder_, ignored);
}

bool StoreHost::Alive() const {
  const char state = ProcessState(pid());
  return state != 0 && state != 'Z' && state != 'X';
}

uint64_t StoreHost::CpuTicks() const {
  std::istringstream fields(StatFields(pid()));
  std::string skipped;
  for (int i = 0; i < 11; ++i) fields >> skipped;  // state .. cmajflt
  uint64_t user = 0, system = 0;
  fields >> user >> system;
  return user + system;
}

uint64_t StoreHost::ResidentBytes() const {
  std::ifstream status("/proc/" + std::to_string(pid()) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) != 0) continue;
    std::istringstream fields(line.substr(6));
    uint64_t kib = 0;
    fields >> kib;
    return kib * 1024;
  }
  return 0;
}

std::optional<StatReport> ParseStat(const HttpResponse& response) {
  if (response.status != 200 || !response.Header("X-Memory-Total"))
    return std::nullopt;
  StatReport report;
  std::istringstream lines(response.head);
  std::string line;
  while (std::getline(lines, line)) {
    const size_t colon = line.find(": ");
    if (colon == std::string::npos) continue;
    const std::string name = line.substr(0, colon);
    if (name != "X-Memory-Total" && name.rfind("X-Counter-", 0) != 0) continue;
    report[name] = std::stoull(line.substr(colon + 2));
  }
  return report;
}

std::optional<StatReport> ReadStat(int port) {
  const auto response = Exchange(port, MakeRequest("STAT", "/"));
  if (!response) return std::nullopt;
  return ParseStat(*response);
}

std::optional<StatReport> ReadStat(HttpClient& client) {
  if (!client.Send(MakeRequest("STAT", "/"))) return std::nullopt;
  const auto response = client.Read();
  if (!response) return std::nullopt;
  return ParseStat(*response);
}

uint64_t StatValue(const std::optional<StatReport>& report,
                   const std::string& name) {
  if (!report) return UINT64_MAX;
  const auto found = report->find(name);
  return found == report->end() ? UINT64_MAX : found->second;
}

std::string PutHead(const std::string& name, size_t length) {
  return "PUT /" + name +
         " HTTP/1.1\r\nHost: h\r\nContent-Length: " + std::to_string(length) +
         "\r\n\r\n";
}

int Store(int port, const std::string& name, size_t bytes) {
  const auto response =
      Exchange(port, PutHead(name, bytes) + std::string(bytes, name[0]));
  return response ? response->status : 0;
}

}  // namespace pendrakel::testing
