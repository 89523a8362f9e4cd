// EventLoop: the loop of one I/O thread over its descriptors, on one of two
// small backends behind this one interface:
//
//   io_uring (uring_loop.h)  the default: operations are queued during a
//       turn and submitted together with the wait for completions, one
//       system call per turn for all of the thread's connections.
//   epoll (epoll_loop.h)     where io_uring is refused (containers often do)
//       or with --io=epoll: edge-triggered readiness tracked per descriptor,
//       a short read taken as drained, so a socket is read only once it
//       said it has bytes.
//
// The interface is completion-based: an owner starts an operation on one of
// its IoOps and later gets exactly one IoOwner::OnComplete for it (a
// multishot accept gets one per connection, the last with `more` false).
// Completions are delivered only from Turn, on the loop's thread, never
// from inside the call that started the operation. Each IoOp has at most one
// operation under way; memory an operation reads or writes must stay valid
// until its completion, cancelled or not.
//
// Receives into lent memory: the loop picks the buffer when bytes arrive (a
// provided buffer ring for io_uring, the thread's one receive buffer for
// epoll), so a connection waiting for a request holds no buffer of its
// own. The lent bytes are valid only during OnComplete.
//
// Threads: everything on the loop's thread (after Attach there), but Open,
// which runs on the main thread before the I/O thread starts.
#ifndef PENDRAKEL_SERVER_IO_EVENT_LOOP_H_
#define PENDRAKEL_SERVER_IO_EVENT_LOOP_H_

#include <sys/socket.h>
#include <sys/uio.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "server/options.h"

namespace pendrakel::server {

enum class IoBackend { kUring, kEpoll };

std::string_view BackendName(IoBackend backend);

class IoOwner;

struct IoResult {
  // Bytes moved, an accepted descriptor, 0, or -errno (-ECANCELED for a
  // cancelled operation; 0 from a receive is the end of the stream).
  int value = 0;
  // A receive into lent memory: the bytes received.
  const char* lent = nullptr;
  // A multishot accept: more completions follow for this operation.
  bool more = false;
};

// One operation slot of an owner. The loop's fields are the loop's alone.
struct IoOp {
  enum class Kind : uint8_t {
    kIdle,  // no operation under way
    kReceiveLent,
    kReceive,
    kRead,
    kSend,
    kAccept,
    kShutdown,
    kClose,
  };

  explicit IoOp(IoOwner& op_owner) : owner(&op_owner) {}
  IoOp(const IoOp&) = delete;
  IoOp& operator=(const IoOp&) = delete;

  bool busy() const { return kind != Kind::kIdle; }

  IoOwner* const owner;
  Kind kind = Kind::kIdle;
  // kReceiveLent: the client was just answered.
  bool after_answer = false;
  // Loop's bookkeeping: where the epoll loop keeps the operation, and
  // whether it was cancelled.
  uint8_t place = 0;
  bool cancelled = false;
  int fd = -1;
  // kReceive and kRead: pieces[0] is the memory to fill. kSend: the pieces
  // to send, held here until the completion.
  iovec pieces[2] = {};
  msghdr message = {};
  // The epoll loop's queues.
  IoOp* next = nullptr;
};

class IoOwner {
 public:
  // `op` is idle again when called (but for a multishot accept with `more`),
  // so the owner may start its next operation on it at once.
  virtual void OnComplete(IoOp& op, const IoResult& result) = 0;

 protected:
  ~IoOwner() = default;
};

class EventLoop {
 public:
  // A loop as `choice` asks; `fallback_reason` says why io_uring was not
  // taken when the choice was kAuto and it is epoll. Null (with the reason)
  // only when no loop can be made at all.
  static std::unique_ptr<EventLoop> Open(IoChoice choice,
                                         std::string* fallback_reason);
  virtual ~EventLoop() = default;

  virtual IoBackend backend() const = 0;

  // On the loop's thread, before anything else there.
  virtual void Attach() = 0;

  // `fd` is served by this loop from now on (epoll registers it). Closing
  // it through Close ends that.
  virtual void Watch(int fd) = 0;

  // The operations: each describes itself in `op` and starts it.

  // Receives what the socket has, up to a lent buffer. `after_answer`: the
  // client was just answered and has likely sent nothing yet.
  void ReceiveLent(IoOp& op, int fd, bool after_answer);
  // Receives up to `size` bytes into `into` (a socket).
  void Receive(IoOp& op, int fd, void* into, size_t size);
  // Reads up to `size` bytes from a descriptor that is not a socket.
  void Read(IoOp& op, int fd, void* into, size_t size);
  // Sends what the socket takes of `first` then `second` (either may be
  // empty): the completion says how much.
  void Send(IoOp& op, int fd, std::string_view first, std::string_view second);
  // Accepts connections on a listening socket, one completion each, until
  // an error (or Close) ends it.
  void Accept(IoOp& op, int listen_fd);
  // Half-closes: nothing more is sent.
  void ShutdownSend(IoOp& op, int fd);
  // Closes `fd`. REQUIRES: every operation under way on it was cancelled
  // (they complete with -ECANCELED, or their own result).
  void Close(IoOp& op, int fd);

  // Cuts `op`'s operation short (and ends an accept's wait for the
  // listening socket); a no-op when there is none.
  virtual void Cancel(IoOp& op) = 0;

  // Submits what was started, waits up to `limit` for something to
  // complete, sets `now` to the time the wait ended, and delivers every
  // completion there is.
  virtual void Turn(std::chrono::milliseconds limit,
                    std::chrono::steady_clock::time_point& now) = 0;

 protected:
  // Starts the operation `op` describes.
  virtual void Start(IoOp& op) = 0;

 private:
  void Describe(IoOp& op, IoOp::Kind kind, int fd);
};

}  // namespace pendrakel::server

#endif  // PENDRAKEL_SERVER_IO_EVENT_LOOP_H_
