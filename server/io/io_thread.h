// IoThread: one I/O thread of the host with its own io_context, the list of
// the connections that live on it, the stacks of their request fibers, and a
// sweep timer that closes (or wakes) those past their deadline (head, idle,
// upload pace, write and linger time-outs) without arming a timer per
// operation.
//
// Run executes on the thread itself. Register, Unregister and the sweep run
// only on that thread, so the list needs no lock. PostShutdown and Stop may
// be called from any thread (they post to the io_context).
#ifndef PENDRAKEL_SERVER_IO_IO_THREAD_H_
#define PENDRAKEL_SERVER_IO_IO_THREAD_H_

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include "server/io/fiber.h"
#include "server/io/server_state.h"
#include "server/io/traffic_counters.h"
#include "server/ops/access_log.h"

namespace pendrakel::server {

class Connection;

class IoThread {
 public:
  // `log` is this thread's access log buffer, null when the log is off.
  IoThread(ServerState& state, LogBuffer* log);
  IoThread(const IoThread&) = delete;
  IoThread& operator=(const IoThread&) = delete;

  boost::asio::io_context& context() { return context_; }
  ServerState& state() { return state_; }
  FiberStacks& stacks() { return stacks_; }
  // Written by this thread only; read by the admin thread.
  TrafficCounters& traffic() { return traffic_; }
  LogBuffer* log() { return log_; }

  // Runs the io_context until Stop.
  void Run();
  void Stop() { context_.stop(); }

  // Asks every connection here to wind down: idle ones close, the others
  // close after their response; `force` closes all that are not inside the
  // extension and makes the client calls of those that are fail.
  void PostShutdown(bool force);

  void Register(Connection* connection);
  void Unregister(Connection* connection);

 private:
  void ScheduleSweep();
  void Sweep();

  ServerState& state_;
  LogBuffer* const log_;
  // Intrusive list of the connections on this thread. Declared before the
  // io_context so that connections destroyed with it can still unlink.
  Connection* first_ = nullptr;
  // Declared before the io_context too: a connection destroyed with it may
  // still finish its fiber.
  FiberStacks stacks_;
  TrafficCounters traffic_;
  // Each socket of this thread is opened before Run or on this thread, and
  // used only here, so Asio's reactor keeps no lock per descriptor; posting
  // and stopping from other threads stay locked.
  boost::asio::io_context context_{BOOST_ASIO_CONCURRENCY_HINT_UNSAFE_IO};
  boost::asio::steady_timer sweep_timer_;
};

}  // namespace pendrakel::server

#endif  // PENDRAKEL_SERVER_IO_IO_THREAD_H_
