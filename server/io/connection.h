// Connection: one client connection of the host, from accept to close. It
// reads requests into a reused buffer, feeds them to its RequestIntake, runs
// the extension through its ExtensionCall, and sends the responses from one
// output buffer: pipelined requests already read are answered together
// (at most kMaxPipelinedResponses, or kFlushThresholdBytes) before one write.
// After an answer the next read waits until the connections already ready
// on the thread are served: tried at once it would mostly find nothing yet
// and cost a system call.
//
// Where requests run: every extension call runs on a fiber of the
// connection's I/O thread (RequestFiber). A call that reads body bytes not
// yet arrived, or writes more than the socket takes, parks its fiber
// (state kInExtension) until the socket is ready or the wait's deadline
// passes; the thread serves other connections meanwhile. Large bodies are
// sent straight from the extension's memory and received straight into it:
// nothing waiting for a slow client is copied.
//
// Uploads past the preload reserve their declared length in the host-wide
// budget of body bytes in progress (--max-upload-bytes), and wait for room
// (state kWaitingForRoom) until the read time-out, then 503. Chunked bodies
// are gathered whole (the extension needs the length first) and count
// against the same budget as they grow.
//
// Time-outs: the head time-out for a head, the idle time-out between
// requests, the minimum upload rate (UploadPace) while a body arrives, and
// the write time-out for time without progress while sending.
//
// After a response, body bytes the extension left unread are drained (up to
// --drain-limit) so that the next request starts at its first byte, or the
// connection closes. Bad requests get their error answer and a lingering
// close.
//
// Threads: everything, the fiber included, runs on the connection's I/O
// thread. Owned by shared_ptr: every pending handler holds one reference, so
// a parked fiber keeps its connection alive.
#ifndef PENDRAKEL_SERVER_IO_CONNECTION_H_
#define PENDRAKEL_SERVER_IO_CONNECTION_H_

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <memory>
#include <string>

#include "server/http/http_error.h"
#include "server/http/request_intake.h"
#include "server/io/accepted_socket.h"
#include "server/io/client_channel.h"
#include "server/io/extension_call.h"
#include "server/io/fiber.h"
#include "server/io/traffic_counters.h"
#include "server/io/upload_pace.h"

namespace pendrakel::server {

class IoThread;
struct ServerState;

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  using Clock = std::chrono::steady_clock;

  // Built on its own I/O thread, which accepted it; counted in
  // live_connections until destroyed.
  Connection(IoThread& thread, AcceptedSocket socket);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // On the connection's I/O thread.
  void Start();
  // Closes the connection, or wakes its parked fiber, when it is past its
  // deadline; retries an upload waiting for room.
  void OnSweep(Clock::time_point now);
  // See IoThread::PostShutdown.
  void OnShutdown(bool force);

 private:
  friend class IoThread;  // the intrusive list

  enum class State {
    kReading,         // waiting for request bytes
    kWaitingForRoom,  // an upload waits for the in-progress budget
    kInExtension,     // the request's fiber is parked on the socket
    kWriting,         // a flush is in flight
    kDraining,        // dropping unread body bytes
    kLingering,       // closing: dropping what the client still sends
    kClosed,
  };
  // Why a parked fiber was resumed.
  enum class Wake { kNone, kReady, kTimedOut, kAborted };

  // The channel of the extension call, on the call's fiber.
  class FiberChannel final : public ClientChannel {
   public:
    explicit FiberChannel(Connection& connection) : connection_(connection) {}
    size_t ReadBody(void* buffer, size_t size) override;
    HttpError ReadFailure() const override { return failure_; }
    bool SendThrough(std::string& pending, const void* data,
                     size_t size) override;

   private:
    Connection& connection_;
    HttpError failure_ = HttpError::kNone;
  };

  // The request loop.
  void Process();
  void FeedIntake();
  void WaitForInput();
  void ReadMore();
  void ReadAfterOthers();
  void OnRead(const boost::system::error_code& error, size_t bytes);
  bool MakeRoom();
  bool Reserve(uint64_t bytes);
  bool ReserveUpload();
  bool ReserveChunks();
  void ReleaseUpload();
  void WaitForRoom();
  bool StartRequest();
  void OnWake();
  void WakeEarly(Wake reason);
  bool FinishRequest(bool must_close);
  void NextRequest();
  CallPolicy Policy() const;

  // On the fiber: waits for the socket. False when the wait timed out or
  // the host is aborting.
  bool Park(boost::asio::socket_base::wait_type type,
            Clock::time_point deadline);

  // Sending and closing.
  void Flush();
  void WriteSome();
  void OnWritten(const boost::system::error_code& error, size_t bytes);
  void AfterFlush();
  void Drain();
  void Answer(HttpError error);
  void Linger();
  void LingerRead();
  void CloseNow();
  Clock::time_point ReadDeadline();

  int fd() { return socket_.native_handle(); }

  IoThread& thread_;
  ServerState& server_;
  TrafficCounters& traffic_;
  AcceptedSocket socket_;
  // The client's address, for the access log (empty when it is off).
  std::string peer_;
  // Read buffer: bytes [read_begin_, read_end_) are received, not consumed.
  std::unique_ptr<char[]> read_buffer_;
  size_t read_capacity_ = 0;
  size_t read_begin_ = 0;
  size_t read_end_ = 0;
  RequestIntake intake_;
  ExtensionCall call_;
  RequestFiber fiber_;
  FiberChannel channel_{*this};
  // The fiber's wait: why it was woken, whether it waits to read, and
  // whether its client calls must fail from now on (shutdown).
  Wake wake_ = Wake::kNone;
  bool parked_reading_ = false;
  bool aborted_ = false;
  // What the finished call said: close after its response.
  bool must_close_ = false;
  boost::asio::steady_timer room_timer_;
  // Responses not sent yet; [0, flushed_) of it is sent.
  std::string out_;
  size_t flushed_ = 0;
  size_t pipelined_ = 0;
  State state_ = State::kReading;
  bool close_after_flush_ = false;
  bool close_at_once_ = false;  // after that flush, without lingering
  bool continue_sent_ = false;
  bool first_request_ = true;
  bool answered_ = false;  // a request was answered since the last read
  bool head_clock_started_ = false;
  // Bytes of the in-progress budget this request holds.
  uint64_t upload_reserved_ = 0;
  uint64_t drain_left_ = 0;
  uint64_t lingered_bytes_ = 0;
  UploadPace pace_;
  // Deadlines: when the current wait for a request began, when its head
  // began; `deadline_` is the one in force (body reads go by `pace_`).
  Clock::time_point request_wait_since_;
  Clock::time_point head_since_;
  Clock::time_point request_started_;
  Clock::time_point deadline_ = Clock::time_point::max();
  // IoThread's list.
  Connection* prev_ = nullptr;
  Connection* next_ = nullptr;
};

}  // namespace pendrakel::server

#endif  // PENDRAKEL_SERVER_IO_CONNECTION_H_
