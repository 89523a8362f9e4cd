// The host's notices to a service manager: a datagram socket stands in for
// systemd's, named by NOTIFY_SOCKET in the host's environment.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>

#include "tests/server/host_process.h"

namespace pendrakel::testing {
namespace {

constexpr int kReceiveLimitMs = 5000;

// A bound AF_UNIX datagram socket in a fresh folder, exported as
// NOTIFY_SOCKET for the hosts this process starts; all undone at the end.
class NotifySocket {
 public:
  NotifySocket() {
    char folder[] = "/tmp/pendrakel-notify-XXXXXX";
    if (mkdtemp(folder) == nullptr) return;
    folder_ = folder;
    path_ = folder_ + "/notify";
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      close(fd_);
      fd_ = -1;
      return;
    }
    setenv("NOTIFY_SOCKET", path_.c_str(), 1);
  }
  ~NotifySocket() {
    unsetenv("NOTIFY_SOCKET");
    if (fd_ >= 0) close(fd_);
    unlink(path_.c_str());
    rmdir(folder_.c_str());
  }
  NotifySocket(const NotifySocket&) = delete;
  NotifySocket& operator=(const NotifySocket&) = delete;

  bool ok() const { return fd_ >= 0; }

  // The next datagram, or "<none>" when nothing comes within `limit_ms`.
  std::string Receive(int limit_ms = kReceiveLimitMs) {
    pollfd ready{fd_, POLLIN, 0};
    if (poll(&ready, 1, limit_ms) != 1) return "<none>";
    char buffer[4096];
    const ssize_t got = recv(fd_, buffer, sizeof buffer, 0);
    return got < 0 ? "<none>" : std::string(buffer, static_cast<size_t>(got));
  }

 private:
  std::string folder_;
  std::string path_;
  int fd_ = -1;
};

TEST(ServiceNotify, ReadyOnceListeningAndStoppingOnSigterm) {
  NotifySocket manager;
  ASSERT_TRUE(manager.ok());
  std::string failure;
  auto host = HostProcess::Start({"--module", PENDRAKEL_ECHO_MODULE}, &failure);
  ASSERT_TRUE(host) << failure;
  const std::string ready = manager.Receive();
  EXPECT_NE(ready.find("READY=1"), std::string::npos) << ready;
  EXPECT_NE(ready.find("STATUS=listening on 127.0.0.1:" +
                       std::to_string(host->port())),
            std::string::npos)
      << ready;
  const HostExit exit = host->Stop(SIGTERM, std::chrono::seconds(10));
  EXPECT_EQ(exit.exit_code, 0) << exit.err;
  EXPECT_EQ(manager.Receive(), "STOPPING=1");
}

TEST(ServiceNotify, ModuleThatRefusesToStartSendsNoReadiness) {
  NotifySocket manager;
  ASSERT_TRUE(manager.ok());
  const HostExit exit = RunHostToExit(
      {"--listen", "127.0.0.1:0", "--module", PENDRAKEL_REFUSING_MODULE},
      std::chrono::seconds(10));
  EXPECT_EQ(exit.exit_code, 1);
  // The host has exited: whatever it sent is already queued.
  EXPECT_EQ(manager.Receive(0), "<none>");
}

}  // namespace
}  // namespace pendrakel::testing
