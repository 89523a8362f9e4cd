// EpollLoop: the EventLoop on edge-triggered epoll, for kernels or
// containers that refuse io_uring and for --io=epoll.
//
// Each descriptor is registered once (Watch), for input and output, edge
// triggered. The loop tracks per descriptor whether it may be readable and
// writable: a receive or send is tried at once only while it may be; a
// short read (or a send that did not take everything) means drained (full),
// and the operation waits for the next edge. So a kept-alive connection
// costs one receive and one send per request and a share of one
// epoll_wait per turn; nothing is tried speculatively.
//
// Operations that may go on are queued and tried in the turn, after the
// wait; the ones queued while a turn runs wait for the next, so a client
// that keeps sending cannot starve the others. Lent receives use the
// thread's one receive buffer of kLentBufferBytes, valid during the
// completion.
//
// Threads: the loop's thread only (Open on the main thread).
#ifndef PENDRAKEL_SERVER_IO_EPOLL_LOOP_H_
#define PENDRAKEL_SERVER_IO_EPOLL_LOOP_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "server/io/event_loop.h"

namespace pendrakel::server {

class EpollLoop final : public EventLoop {
 public:
  // Null with `error` set when epoll cannot be had.
  static std::unique_ptr<EpollLoop> Open(std::string& error);

  IoBackend backend() const override { return IoBackend::kEpoll; }
  // Closes the epoll descriptor (not the descriptors it watched).
  ~EpollLoop() override;
  // Nothing to do: the loop's thread is whichever calls Turn.
  void Attach() override {}
  // Registers `fd` for input and output, edge-triggered.
  void Watch(int fd) override;
  // Takes the operation off its descriptor or the queue; it completes in
  // the turn.
  void Cancel(IoOp& op) override;
  // One epoll_wait, then the operations it made ready.
  void Turn(std::chrono::milliseconds limit,
            std::chrono::steady_clock::time_point& now) override;

 protected:
  // Queues the operation, or parks it at its descriptor until an edge.
  void Start(IoOp& op) override;

 private:
  // What the loop knows of one descriptor; indexed by its number.
  struct Descriptor {
    bool readable = true;
    bool writable = true;
    // Events carry the generation, so those of a closed descriptor whose
    // number was reused are told apart.
    uint32_t generation = 0;
    IoOp* reader = nullptr;  // waiting for input
    IoOp* writer = nullptr;  // waiting for output
  };

  explicit EpollLoop(int epoll_fd);
  Descriptor& At(int fd);
  bool WantsInput(const IoOp& op) const;
  void Queue(IoOp& op);
  void Park(IoOp& op);
  void Unpark(IoOp& op);
  void OnEvent(uint64_t data, uint32_t events);
  void Try(IoOp& op);
  void TryAccept(IoOp& op);
  int Attempt(IoOp& op, Descriptor& descriptor);
  void Complete(IoOp& op, int value, const char* lent, bool more);

  const int epoll_fd_;
  std::vector<Descriptor> descriptors_;
  // Operations to try in the next turn, first in first out.
  IoOp* ready_head_ = nullptr;
  IoOp* ready_tail_ = nullptr;
  std::unique_ptr<char[]> lent_buffer_;
};

}  // namespace pendrakel::server

#endif  // PENDRAKEL_SERVER_IO_EPOLL_LOOP_H_
