#include "server/io/acceptor.h"

#include <unistd.h>

#include <cerrno>

#include "server/http/http_error.h"
#include "server/io/io_thread.h"
#include "server/io/socket_io.h"
#include "server/limits.h"
#include "server/ops/access_log.h"

namespace pendrakel::server {

Acceptor::~Acceptor() {
  if (listen_fd_ >= 0) ::close(listen_fd_);
}

void Acceptor::Start(int listen_fd) {
  listen_fd_ = listen_fd;
  thread_.loop().Watch(listen_fd_);
  thread_.loop().Accept(op_, listen_fd_);
}

void Acceptor::Stop() {
  if (listen_fd_ < 0 || stopping_) return;
  stopping_ = true;
  thread_.loop().Cancel(op_);
  thread_.loop().Close(closer_, listen_fd_);
}

void Acceptor::OnTick(Clock::time_point now) {
  if (stopping_ || now < retry_at_) return;
  retry_at_ = Clock::time_point::max();
  thread_.loop().Accept(op_, listen_fd_);
}

void Acceptor::OnComplete(IoOp& op, const IoResult& result) {
  if (&op == &closer_) {
    listen_fd_ = -1;
    return;
  }
  if (result.value >= 0) {
    if (stopping_) {
      ::close(result.value);
    } else {
      Admit(result.value);
    }
  }
  if (result.more || stopping_) return;
  switch (result.value) {
    case -ECANCELED:
      return;
    case -EINTR:
    case -ECONNABORTED:  // reset before it was taken: the next may not be
      break;
    default:
      if (result.value < 0) {
        // Out of descriptors or memory, or a network error: try again a
        // little later instead of spinning.
        retry_at_ = thread_.now() + kAcceptRetryDelay;
        return;
      }
  }
  thread_.loop().Accept(op_, listen_fd_);
}

void Acceptor::Admit(int fd) {
  ConnectionSlot slot = thread_.state().connections.TryTake();
  if (!slot) {
    // Counted by the slots; logged like every other answer. The TLS port
    // expects no plaintext: its client is only closed.
    if (!tls_) SendOnce(fd, ErrorResponse(HttpError::kUnavailable));
    if (LogBuffer* log = thread_.log())
      log->Write(PeerAddress(fd), nullptr, ErrorStatus(HttpError::kUnavailable),
                 -1, 0);
    ::close(fd);
    return;
  }
  thread_.Adopt(fd, std::move(slot), tls_);
}

}  // namespace pendrakel::server
