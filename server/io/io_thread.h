// IoThread: one I/O thread of the host: its EventLoop, the connections
// that live on it (it owns them), the acceptor that takes new ones from its
// listening socket, the stacks of their request fibers, its traffic
// counters and its access log buffer, and a bounded pool of closed
// connections for the next ones.
//
// Each turn of Run waits on the loop (one system call for everything that
// is ready), and every kSweepPeriod it gives the connections whose
// deadline has come their tick, hands the access log lines over, and lets
// a paused acceptor try again. Connections that have closed are destroyed
// after the turn, so no completion of that turn can reach a destroyed one.
//
// Threads: Run, and everything a connection calls, on the thread itself;
// the list of connections needs no lock. StartAccepting, StopAccepting,
// PostShutdown and Stop may be called from any thread: they leave a notice
// under notices_mutex_ and wake the loop through an eventfd.
#ifndef PENDRAKEL_SERVER_IO_IO_THREAD_H_
#define PENDRAKEL_SERVER_IO_IO_THREAD_H_

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "base/mutex.h"
#include "base/thread_annotations.h"
#include "server/io/acceptor.h"
#include "server/io/event_loop.h"
#include "server/io/fiber.h"
#include "server/io/server_state.h"
#include "server/io/traffic_counters.h"
#include "server/ops/access_log.h"
#include "server/tls/tls_thread.h"

namespace pendrakel::server {

class Connection;

class IoThread final : public IoOwner {
 public:
  using Clock = std::chrono::steady_clock;

  // `loop` serves this thread alone; `log` is its access log buffer, null
  // when the log is off.
  IoThread(ServerState& state, LogBuffer* log, std::unique_ptr<EventLoop> loop);
  ~IoThread();
  IoThread(const IoThread&) = delete;
  IoThread& operator=(const IoThread&) = delete;

  EventLoop& loop() { return *loop_; }
  IoBackend backend() const { return loop_->backend(); }
  ServerState& state() { return state_; }
  FiberStacks& stacks() { return stacks_; }
  // Written by this thread only; read by the admin thread.
  TrafficCounters& traffic() { return traffic_; }
  LogBuffer* log() { return log_; }
  // The TLS port's context and counters (the counters: read by the admin
  // thread).
  TlsThread& tls() { return tls_; }
  // The time of this turn, read once after each wait.
  Clock::time_point now() const { return now_; }

  // Runs the loop until Stop.
  void Run();

  // Any thread.
  // Accepts from `listen_fd` (which this thread then owns) / closes it.
  void StartAccepting(int listen_fd) EXCLUDES(notices_mutex_);
  // Accepts TLS connections from `listen_fd` (owned from then on); the
  // context is given first.
  void StartAcceptingTls(int listen_fd) EXCLUDES(notices_mutex_);
  // New TLS handshakes use `context` from the next turn on.
  void UseTlsContext(TlsContext context) EXCLUDES(notices_mutex_);
  void StopAccepting() EXCLUDES(notices_mutex_);
  // Asks every connection here to wind down: idle ones close, the others
  // close after their response; `force` closes all that are not inside the
  // extension and makes the client calls of those that are fail.
  void PostShutdown(bool force) EXCLUDES(notices_mutex_);
  void Stop() EXCLUDES(notices_mutex_);

  // On this thread.
  // Serves the connection accepted as `fd` (on the TLS port: `tls`).
  void Adopt(int fd, ConnectionSlot slot, bool tls);
  // `connection` has closed for good: destroyed after this turn.
  void Retire(Connection* connection);

 private:
  // What other threads asked for since the last wake.
  struct Notices {
    int listen_fd = -1;
    int tls_listen_fd = -1;
    TlsContext tls_context;
    bool stop_accepting = false;
    bool shutdown = false;
    bool force = false;
    bool stop = false;
  };

  // The wake-up eventfd was written.
  void OnComplete(IoOp& op, const IoResult& result) override;
  template <typename Change>
  void Notify(Change change) EXCLUDES(notices_mutex_);
  void WaitForNotices();
  void Tick();
  void DestroyRetired();
  void Unlink(Connection* connection);

  ServerState& state_;
  LogBuffer* const log_;
  // Declared before the loop and the connections: a connection destroyed
  // with the thread may still finish its fiber.
  FiberStacks stacks_;
  TrafficCounters traffic_;
  std::unique_ptr<EventLoop> loop_;
  Acceptor acceptor_;
  Acceptor tls_acceptor_;
  TlsThread tls_;
  Clock::time_point now_;
  Clock::time_point next_tick_;
  bool stopped_ = false;
  // The connections here, an intrusive list, those closed this turn, and
  // up to kConnectionsKept closed ones kept for the next (their memory and
  // buffers).
  Connection* first_ = nullptr;
  std::vector<Connection*> retired_;
  std::vector<Connection*> kept_;
  // The wake-up: an eventfd and the read that waits on it.
  const int wake_fd_;
  IoOp wake_op_{*this};
  uint64_t wake_count_ = 0;
  Mutex notices_mutex_;
  Notices notices_ GUARDED_BY(notices_mutex_);
};

}  // namespace pendrakel::server

#endif  // PENDRAKEL_SERVER_IO_IO_THREAD_H_
