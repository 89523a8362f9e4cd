#include "tests/server/host_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <thread>

#ifndef PENDRAKEL_HOST_BINARY
#error "PENDRAKEL_HOST_BINARY must name the pendrakel-host executable"
#endif

namespace pendrakel::testing {
namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::seconds kStartLimit{10};
constexpr std::chrono::milliseconds kPollSlice{20};

// Starts the host with stdout and stderr on pipes.
pid_t Spawn(const std::vector<std::string>& args, int& out_fd, int& err_fd) {
  int out[2];
  int err[2];
  if (pipe(out) != 0 || pipe(err) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    close(out[0]);
    close(err[0]);
    std::vector<char*> argv;
    std::string binary = PENDRAKEL_HOST_BINARY;
    argv.push_back(binary.data());
    std::vector<std::string> copy = args;
    for (std::string& arg : copy) argv.push_back(arg.data());
    argv.push_back(nullptr);
    execv(binary.c_str(), argv.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  out_fd = out[0];
  err_fd = err[0];
  fcntl(out_fd, F_SETFL, O_NONBLOCK);
  fcntl(err_fd, F_SETFL, O_NONBLOCK);
  return pid;
}

// Appends what is readable now; false at end of stream.
bool Drain(int fd, std::string& into) {
  char buffer[4096];
  for (;;) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got > 0) {
      into.append(buffer, static_cast<size_t>(got));
      continue;
    }
    return got < 0;  // EAGAIN: more may come; 0: end
  }
}

void WaitReadable(int fd_a, int fd_b) {
  pollfd fds[2] = {{fd_a, POLLIN, 0}, {fd_b, POLLIN, 0}};
  poll(fds, 2, static_cast<int>(kPollSlice.count()));
}

// Waits for the process to exit, collecting its output; -1 after `limit`.
int WaitExit(pid_t pid, int out_fd, int err_fd, std::string& out,
             std::string& err, std::chrono::milliseconds limit) {
  const auto end = Clock::now() + limit;
  int status = 0;
  while (Clock::now() < end) {
    Drain(out_fd, out);
    Drain(err_fd, err);
    if (waitpid(pid, &status, WNOHANG) == pid) {
      Drain(out_fd, out);
      Drain(err_fd, err);
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    WaitReadable(out_fd, err_fd);
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return -1;
}

}  // namespace

std::unique_ptr<HostProcess> HostProcess::Start(
    const std::vector<std::string>& args, std::string* failure) {
  std::vector<std::string> full = {"--listen", "127.0.0.1:0"};
  full.insert(full.end(), args.begin(), args.end());
  // The suite runs once more with the host's epoll loop forced.
  if (const char* io = std::getenv("PENDRAKEL_TEST_IO"))
    full.push_back(std::string("--io=") + io);
  std::unique_ptr<HostProcess> host(new HostProcess());
  host->pid_ = Spawn(full, host->out_fd_, host->err_fd_);
  if (host->pid_ < 0) return nullptr;
  const std::string marker = "listening on 127.0.0.1:";
  std::string err;
  const auto end = Clock::now() + kStartLimit;
  while (Clock::now() < end) {
    const bool open = Drain(host->out_fd_, host->out_);
    Drain(host->err_fd_, err);
    const size_t at = host->out_.find(marker);
    const size_t eol = host->out_.find('\n', at);
    if (at != std::string::npos && eol != std::string::npos) {
      host->port_ = std::stoi(host->out_.substr(at + marker.size()));
      host->out_.erase(0, eol + 1);
      return host;
    }
    if (!open) break;
    WaitReadable(host->out_fd_, host->err_fd_);
  }
  if (failure != nullptr) *failure = "out: " + host->out_ + " err: " + err;
  return nullptr;
}

HostProcess::~HostProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
  if (out_fd_ >= 0) close(out_fd_);
  if (err_fd_ >= 0) close(err_fd_);
}

HostExit HostProcess::Stop(int signal, std::chrono::milliseconds limit) {
  HostExit result;
  kill(pid_, signal);
  result.out = out_;
  result.exit_code =
      WaitExit(pid_, out_fd_, err_fd_, result.out, result.err, limit);
  pid_ = -1;
  return result;
}

HostExit RunHostToExit(const std::vector<std::string>& args,
                       std::chrono::milliseconds limit) {
  HostExit result;
  int out_fd = -1;
  int err_fd = -1;
  const pid_t pid = Spawn(args, out_fd, err_fd);
  if (pid < 0) return result;
  result.exit_code =
      WaitExit(pid, out_fd, err_fd, result.out, result.err, limit);
  close(out_fd);
  close(err_fd);
  return result;
}

}  // namespace pendrakel::testing
