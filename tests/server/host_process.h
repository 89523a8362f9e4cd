// HostProcess: a pendrakel-host started for one test on a free loopback
// port (--listen 127.0.0.1:0), with its standard output and error captured.
// Start waits (bounded) for the "listening on" line; the destructor kills the
// process by its id if it still runs.
//
// RunHostToExit runs the host when it is expected to stop by itself (bad
// module, bad port) and returns its exit code and error output.
#ifndef PENDRAKEL_TESTS_SERVER_HOST_PROCESS_H_
#define PENDRAKEL_TESTS_SERVER_HOST_PROCESS_H_

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace pendrakel::testing {

struct HostExit {
  int exit_code = -1;  // -1: did not exit in time (then killed)
  std::string out;
  std::string err;
};

class HostProcess {
 public:
  // Null when the host did not print its listening line within 10 seconds;
  // `failure` then says what it printed.
  static std::unique_ptr<HostProcess> Start(
      const std::vector<std::string>& args, std::string* failure = nullptr);
  ~HostProcess();
  HostProcess(const HostProcess&) = delete;
  HostProcess& operator=(const HostProcess&) = delete;

  int port() const { return port_; }
  pid_t pid() const { return pid_; }

  // Sends `signal` and waits for the exit; the rest of its output is
  // collected.
  HostExit Stop(int signal, std::chrono::milliseconds limit);

 private:
  HostProcess() = default;
  pid_t pid_ = -1;
  int port_ = 0;
  int out_fd_ = -1;
  int err_fd_ = -1;
  std::string out_;
};

HostExit RunHostToExit(const std::vector<std::string>& args,
                       std::chrono::milliseconds limit);

}  // namespace pendrakel::testing

#endif  // PENDRAKEL_TESTS_SERVER_HOST_PROCESS_H_
