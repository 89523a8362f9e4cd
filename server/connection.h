// Connection: one client connection of the host, from accept to close. It
// reads requests into a reused buffer, feeds them to its RequestIntake, runs
// the extension through its ExtensionCall, and sends the responses from one
// output buffer: pipelined requests already read are answered together
// (at most kMaxPipelinedResponses, or kFlushThresholdBytes) before one write.
//
// Where requests run: a request whose whole body is in hand runs on the I/O
// thread at once. One whose Content-Length body goes on past the preload is
// lent, with the connection, to an upload thread, where ReadClient blocks;
// the connection does nothing else until the upload thread posts it back.
//
// After a response, body bytes the extension left unread are drained (up to
// --drain-limit) so that the next request starts at its first byte, or the
// connection closes. Bad requests get their error answer and a lingering
// close.
//
// Threads: everything runs on the connection's I/O thread, except Run of the
// ExtensionCall and the blocking channel while the connection is lent
// (state kInExtension); hand-over both ways goes through the pool's and the
// io_context's queues, which order the memory accesses. Owned by shared_ptr:
// every pending handler (or the upload job) holds one reference.
#ifndef PENDRAKEL_SERVER_CONNECTION_H_
#define PENDRAKEL_SERVER_CONNECTION_H_

#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <memory>
#include <string>

#include "server/client_channel.h"
#include "server/extension_call.h"
#include "server/http_error.h"
#include "server/request_intake.h"

namespace pendrakel::server {

class IoThread;
struct ServerState;

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  using Clock = std::chrono::steady_clock;

  // Built on the accepting thread; counted in live_connections until
  // destroyed.
  Connection(IoThread& thread, boost::asio::ip::tcp::socket socket);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // On the connection's I/O thread.
  void Start();
  // Closes the connection when it is past its deadline.
  void OnSweep(Clock::time_point now);
  // See IoThread::PostShutdown.
  void OnShutdown(bool force);

 private:
  friend class IoThread;  // the intrusive list

  enum class State {
    kReading,      // waiting for request bytes
    kWriting,      // a flush is in flight
    kInExtension,  // lent to an upload thread
    kDraining,     // dropping unread body bytes
    kLingering,    // closing: dropping what the client still sends
    kClosed,
  };

  // Channel for requests run on the I/O thread: nothing blocks.
  class InlineChannel final : public ClientChannel {
   public:
    explicit InlineChannel(Connection& connection) : connection_(connection) {}
    size_t ReadBody(void* buffer, size_t size) override;
    bool SendThrough(std::string& pending, const void* data,
                     size_t size) override;

   private:
    Connection& connection_;
  };
  // Channel for requests run on an upload thread: reads and writes block.
  class BlockingChannel final : public ClientChannel {
   public:
    explicit BlockingChannel(Connection& connection)
        : connection_(connection) {}
    size_t ReadBody(void* buffer, size_t size) override;
    bool SendThrough(std::string& pending, const void* data,
                     size_t size) override;

   private:
    Connection& connection_;
  };

  // The request loop.
  void Process();
  void FeedIntake();
  void WaitForInput();
  void ReadMore();
  void OnRead(const boost::system::error_code& error, size_t bytes);
  bool MakeRoom();
  bool RunInline();
  void DispatchToUploadThread();
  void AfterUploadThread(bool must_close);
  bool FinishRequest(bool must_close);
  void NextRequest();
  CallPolicy Policy() const;

  // Sending and closing.
  void Flush();
  void OnWritten(const boost::system::error_code& error);
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
  boost::asio::ip::tcp::socket socket_;
  // Read buffer: bytes [read_begin_, read_end_) are received, not consumed.
  std::unique_ptr<char[]> read_buffer_;
  size_t read_capacity_ = 0;
  size_t read_begin_ = 0;
  size_t read_end_ = 0;
  RequestIntake intake_;
  ExtensionCall call_;
  InlineChannel inline_channel_{*this};
  BlockingChannel blocking_channel_{*this};
  // Responses not sent yet.
  std::string out_;
  size_t pipelined_ = 0;
  State state_ = State::kReading;
  bool close_after_flush_ = false;
  bool continue_sent_ = false;
  bool first_request_ = true;
  bool head_clock_started_ = false;
  uint64_t drain_left_ = 0;
  uint64_t lingered_bytes_ = 0;
  // Deadlines: when the current wait for a request began, when its head
  // began, when its body last made progress; `deadline_` is the one in force.
  Clock::time_point request_wait_since_;
  Clock::time_point head_since_;
  Clock::time_point body_progress_;
  Clock::time_point deadline_ = Clock::time_point::max();
  // IoThread's list.
  Connection* prev_ = nullptr;
  Connection* next_ = nullptr;
};

}  // namespace pendrakel::server

#endif  // PENDRAKEL_SERVER_CONNECTION_H_
