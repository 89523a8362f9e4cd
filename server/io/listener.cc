#include "server/io/listener.h"

#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/post.hpp>
#include <cerrno>

#include "server/http/http_error.h"
#include "server/io/accepted_socket.h"
#include "server/io/connection.h"
#include "server/io/socket_io.h"
#include "server/limits.h"
#include "server/options.h"

namespace pendrakel::server {

bool BindAcceptor(boost::asio::ip::tcp::acceptor& acceptor,
                  const boost::asio::ip::tcp::endpoint& endpoint, BindMode mode,
                  boost::system::error_code& ec) {
  acceptor.open(endpoint.protocol(), ec);
  if (!ec)
    acceptor.set_option(boost::asio::socket_base::reuse_address(true), ec);
  if (!ec && mode == BindMode::kSharedPort) {
    const int one = 1;
    if (setsockopt(acceptor.native_handle(), SOL_SOCKET, SO_REUSEPORT, &one,
                   sizeof one) != 0) {
      ec.assign(errno, boost::system::system_category());
    }
  }
  if (!ec) acceptor.bind(endpoint, ec);
  if (!ec && mode != BindMode::kProbe)
    acceptor.set_option(boost::asio::ip::tcp::no_delay(true), ec);
  if (!ec && mode != BindMode::kProbe)
    acceptor.listen(boost::asio::socket_base::max_listen_connections, ec);
  return !ec;
}

Listener::Listener(std::vector<std::unique_ptr<IoThread>>& threads) {
  for (auto& thread : threads)
    acceptors_.push_back(std::make_unique<Acceptor>(*thread));
}

// SO_REUSEPORT would let a second host join this port unnoticed and split
// its clients: a plain bind first finds a port in use (and picks the port
// when 0 was asked for).
bool Listener::Probe(boost::asio::ip::tcp::endpoint& endpoint,
                     boost::system::error_code& ec) {
  boost::asio::ip::tcp::acceptor probe(
      acceptors_.front()->socket.get_executor());
  if (!BindAcceptor(probe, endpoint, BindMode::kProbe, ec)) return false;
  endpoint = probe.local_endpoint(ec);
  return !ec;
}

bool Listener::Open(const boost::asio::ip::tcp::endpoint& endpoint,
                    std::string& error) {
  boost::system::error_code ec;
  boost::asio::ip::tcp::endpoint bound = endpoint;
  if (!Probe(bound, ec)) {
    error =
        "cannot listen on " + FormatEndpoint(endpoint) + ": " + ec.message();
    return false;
  }
  for (auto& acceptor : acceptors_) {
    BindAcceptor(acceptor->socket, bound, BindMode::kSharedPort, ec);
    // Non-blocking: AcceptWaiting calls accept4 until it finds no one.
    if (!ec) acceptor->socket.non_blocking(true, ec);
    if (ec) {
      error = "cannot listen on " + FormatEndpoint(bound) + ": " + ec.message();
      return false;
    }
    acceptor->protocol = bound.protocol();
  }
  return true;
}

boost::asio::ip::tcp::endpoint Listener::local_endpoint() const {
  boost::system::error_code ignored;
  return acceptors_.front()->socket.local_endpoint(ignored);
}

void Listener::Start() {
  // Connections may be waiting already, and readiness is reported only on a
  // change: take them first, then wait.
  for (auto& acceptor : acceptors_) {
    Acceptor* a = acceptor.get();
    boost::asio::post(a->socket.get_executor(), [a] { AcceptWaiting(*a); });
  }
}

void Listener::Close() {
  for (auto& acceptor : acceptors_) {
    Acceptor* a = acceptor.get();
    boost::asio::post(a->socket.get_executor(), [a] {
      boost::system::error_code ignored;
      a->socket.close(ignored);
      a->retry_timer.cancel();
    });
  }
}

void Listener::AcceptWaiting(Acceptor& acceptor) {
  if (!acceptor.socket.is_open()) return;
  for (size_t taken = 0; taken < kAcceptsPerTurn; ++taken) {
    const int fd = ::accept4(acceptor.socket.native_handle(), nullptr, nullptr,
                             SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) {
      Admit(acceptor, fd);
      continue;
    }
    switch (errno) {
      case EAGAIN:
#if EWOULDBLOCK != EAGAIN
      case EWOULDBLOCK:
#endif
        return WaitForMore(acceptor);
      case EINTR:
      case ECONNABORTED:  // reset before it was taken: the next may not be
        break;
      default:  // out of descriptors or memory, or a network error
        return RetryLater(acceptor);
    }
  }
  boost::asio::post(acceptor.socket.get_executor(),
                    [&acceptor] { AcceptWaiting(acceptor); });
}

void Listener::WaitForMore(Acceptor& acceptor) {
  acceptor.socket.async_wait(
      boost::asio::ip::tcp::acceptor::wait_read,
      [&acceptor](const boost::system::error_code& error) {
        if (error == boost::asio::error::operation_aborted) return;
        if (error) return RetryLater(acceptor);
        AcceptWaiting(acceptor);
      });
}

// Out of descriptors or memory, or a failure of the listening socket: try
// again a little later instead of spinning.
void Listener::RetryLater(Acceptor& acceptor) {
  acceptor.retry_timer.expires_after(kAcceptRetryDelay);
  acceptor.retry_timer.async_wait(
      [&acceptor](const boost::system::error_code& error) {
        if (!error) AcceptWaiting(acceptor);
      });
}

void Listener::Admit(Acceptor& acceptor, int fd) {
  ServerState& state = acceptor.thread.state();
  const int live =
      state.live_connections.fetch_add(1, std::memory_order_relaxed);
  if (live >= state.options.max_connections) {
    state.live_connections.fetch_sub(1, std::memory_order_relaxed);
    state.connections_refused.fetch_add(1, std::memory_order_relaxed);
    SendOnce(fd, ErrorResponse(HttpError::kUnavailable));
    ::close(fd);
    return;
  }
  boost::system::error_code ec;
  AcceptedSocket socket(acceptor.thread.context(), acceptor.protocol, fd, ec);
  if (ec) {
    state.live_connections.fetch_sub(1, std::memory_order_relaxed);
    return;
  }
  state.connections_accepted.fetch_add(1, std::memory_order_relaxed);
  std::make_shared<Connection>(acceptor.thread, std::move(socket))->Start();
}

}  // namespace pendrakel::server
