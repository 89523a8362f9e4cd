// UringLoop: the EventLoop on io_uring. Operations become submission
// entries that wait in the ring until the turn ends; then one
// io_uring_enter submits them all and waits for completions, which the
// kernel runs and posts only then (single issuer, deferred task running):
// a turn costs one system call however many connections it serves.
//
// Accepting takes one connection with accept4 (AcceptWaiting) each time a
// one-shot poll says the listening socket is readable, and arms the poll
// again at once: armed while more wait, it completes in the same
// submission. So a connection costs one accept4, never the trailing one
// that finds nobody (the kernel makes and frees a socket for that: 3 µs).
// accept4 checks the descriptor limit as it stands; an io_uring accept
// would hold the limit of the moment it was submitted.
//
// Lent receives draw on a ring of kLentBuffers provided buffers of
// kLentBufferBytes, picked by the kernel when bytes arrive and given back
// as soon as the completion has been delivered. A receive that finds the
// ring empty is submitted again in the next turn.
//
// Needs Linux 6.1 (deferred task running; everything else it uses, such as
// provided buffer rings, is older); Open reports a kernel that refuses it,
// so that the host falls back to epoll.
//
// Threads: made on the main thread with its ring disabled; Attach enables
// it on the loop's thread, the only one that submits.
#ifndef PENDRAKEL_SERVER_IO_URING_LOOP_H_
#define PENDRAKEL_SERVER_IO_URING_LOOP_H_

#include <liburing.h>

#include <memory>
#include <string>
#include <vector>

#include "server/io/event_loop.h"

namespace pendrakel::server {

class UringLoop final : public EventLoop {
 public:
  // Null with `error` set when the kernel refuses the ring.
  static std::unique_ptr<UringLoop> Open(std::string& error);
  ~UringLoop() override;

  IoBackend backend() const override { return IoBackend::kUring; }
  // Enables the ring on the loop's thread, which alone submits from then.
  void Attach() override;
  // One io_uring_enter: submits and waits.
  void Turn(std::chrono::milliseconds limit,
            std::chrono::steady_clock::time_point& now) override;
  // Submits a cancellation, which completes unseen.
  void Cancel(IoOp& op) override;
  // Nothing to register: each operation names its descriptor.
  void Watch(int) override {}

 protected:
  // Queues the operation's submission entry.
  void Start(IoOp& op) override;

 private:
  UringLoop() = default;
  bool Setup(std::string& error);
  io_uring_sqe* Entry();
  void ArmAccept(IoOp& op);
  void Deliver(const io_uring_cqe& cqe);
  void OnListenerReady(IoOp& op, const io_uring_cqe& cqe);
  void EndAccepting(IoOp& op, int error);
  void GiveBack(unsigned buffer_id);

  io_uring ring_{};
  bool ring_open_ = false;
  // The provided buffers and the ring that offers them to the kernel.
  char* lent_memory_ = nullptr;
  io_uring_buf_ring* lent_ring_ = nullptr;
  unsigned lent_given_back_ = 0;  // buffers added since the last advance
  // Lent receives that found no buffer, submitted again next turn.
  std::vector<IoOp*> starved_;
};

}  // namespace pendrakel::server

#endif  // PENDRAKEL_SERVER_IO_URING_LOOP_H_
