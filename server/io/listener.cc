#include "server/io/listener.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "server/limits.h"
#include "server/options.h"

namespace pendrakel::server {
namespace {

bool SetOption(int fd, int level, int name, int value) {
  return setsockopt(fd, level, name, &value, sizeof value) == 0;
}

bool SetFlag(int fd, int level, int name) {
  return SetOption(fd, level, name, 1);
}

}  // namespace

int OpenListeningSocket(const boost::asio::ip::tcp::endpoint& endpoint,
                        BindMode mode, std::string& error) {
  const int fd = socket(endpoint.data()->sa_family,
                        SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  bool ok = fd >= 0 && SetFlag(fd, SOL_SOCKET, SO_REUSEADDR);
  if (ok && mode == BindMode::kSharedPort)
    ok = SetFlag(fd, SOL_SOCKET, SO_REUSEPORT);
  ok = ok &&
       bind(fd, endpoint.data(), static_cast<socklen_t>(endpoint.size())) == 0;
  if (ok && mode != BindMode::kProbe) {
    ok = SetFlag(fd, IPPROTO_TCP, TCP_NODELAY) &&
         SetOption(fd, IPPROTO_TCP, TCP_NOTSENT_LOWAT,
                   static_cast<int>(kMaxUnsentBytes)) &&
         listen(fd, SOMAXCONN) == 0;
  }
  if (ok) return fd;
  error = std::strerror(errno);
  if (fd >= 0) ::close(fd);
  return -1;
}

Listener::Listener(std::vector<std::unique_ptr<IoThread>>& threads, bool tls)
    : threads_(threads), tls_(tls) {}

Listener::~Listener() {
  for (const int fd : fds_) ::close(fd);
}

bool Listener::Open(const boost::asio::ip::tcp::endpoint& endpoint,
                    std::string& error) {
  std::string why;
  bound_ = endpoint;
  if (endpoint.port() == 0) {
    // The kernel picks a port nobody holds, and it is ours from that
    // moment: a probe closed before the shared binds could hand the same
    // port to another host starting at once.
    if (!OpenShared(bound_, error)) return false;
    socklen_t size = static_cast<socklen_t>(bound_.capacity());
    getsockname(fds_.front(), bound_.data(), &size);
    bound_.resize(size);
  } else {
    // SO_REUSEPORT would let a second host join this port unnoticed and
    // split its clients: a plain bind first finds a port in use.
    const int probe = OpenListeningSocket(endpoint, BindMode::kProbe, why);
    if (probe < 0) {
      error = "cannot listen on " + FormatEndpoint(endpoint) + ": " + why;
      return false;
    }
    ::close(probe);
  }
  while (fds_.size() < threads_.size()) {
    if (!OpenShared(bound_, error)) return false;
  }
  return true;
}

bool Listener::OpenShared(const boost::asio::ip::tcp::endpoint& endpoint,
                          std::string& error) {
  std::string why;
  const int fd = OpenListeningSocket(endpoint, BindMode::kSharedPort, why);
  if (fd < 0) {
    error = "cannot listen on " + FormatEndpoint(endpoint) + ": " + why;
    return false;
  }
  fds_.push_back(fd);
  return true;
}

void Listener::Start() {
  for (size_t i = 0; i < fds_.size(); ++i) {
    if (tls_) {
      threads_[i]->StartAcceptingTls(fds_[i]);
    } else {
      threads_[i]->StartAccepting(fds_[i]);
    }
  }
  fds_.clear();
}

void Listener::Close() {
  for (auto& thread : threads_) thread->StopAccepting();
}

}  // namespace pendrakel::server
