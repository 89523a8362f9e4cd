// ConnectionSteps: the life of one client connection, from its first byte
// to its close, as one sequence of steps, without a socket. Its Connection
// tells it what happened (bytes received, bytes sent, the module call
// returned, a tick of the clock, the host shutting down) and does what it
// answers (receive, send, run the call, linger, close). So the whole
// sequence can be driven by a test with any bytes, split anywhere, and any
// clock.
//
// What the connection can be doing now is its Step:
//
//   kReadingHead     waiting for (the rest of) a request head; a connection
//                    waiting for its next request holds no buffer
//   kReadingBody     gathering the preload or a chunked body
//   kWaitingForRoom  an upload waits for room in the upload budget (a
//                    declared one before its call, a chunked one before it
//                    reads on)
//   kInCall          the module runs the request (on the connection's
//                    fiber), maybe waiting for its client
//   kSending         answers are being sent
//   kDraining        dropping the body the module left unread
//   kLingering       after a last answer: reading and dropping what the
//                    client still sends, so that it sees the answer
//   kClosed
//
// Every change of step goes through Enter, which checks that it is one of
// the changes above allow. Answers of pipelined requests already in hand
// are gathered (up to kMaxPipelinedResponses or kFlushThresholdBytes)
// before one send, and whatever is answered goes out before the connection
// waits for more bytes. After each answer the ending is decided once
// (DecideEnding, http/keep_alive.h) and followed after the send: the next
// request, draining, lingering, or the close.
//
// Deadlines, checked at each OnTick: the head time-out for a head (and for
// the first one), the idle time-out between requests, the minimum upload
// rate (UploadPace) while a body arrives and while its unread rest is
// drained, the read time-out while waiting for upload room, the write time-out
// for time without progress while sending, and the linger's bounds (in
// all, and between two receives).
//
// Every answer, the module's and the host's own, is reported to the
// AnswerSink at the moment it is complete: the one point that counts and
// logs answers.
//
// One per connection, on its I/O thread only.
#ifndef PENDRAKEL_SERVER_IO_CONNECTION_STEPS_H_
#define PENDRAKEL_SERVER_IO_CONNECTION_STEPS_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "server/http/http_error.h"
#include "server/http/keep_alive.h"
#include "server/http/request_intake.h"
#include "server/io/extension_call.h"
#include "server/io/server_state.h"
#include "server/io/upload_budget.h"
#include "server/io/upload_pace.h"

namespace pendrakel::server {

enum class Step : uint8_t {
  kReadingHead,
  kReadingBody,
  kWaitingForRoom,
  kInCall,
  kSending,
  kDraining,
  kLingering,
  kClosed,
};

// What the Connection is to do next.
enum class Action : uint8_t {
  kNone,        // nothing new: wait for what is under way, or the tick
  kReceive,     // receive more bytes (receive_after_answer() says when)
  kCall,        // run the module for intake()'s request
  kSend,        // send unsent()
  kLinger,      // stop sending, then receive (and OnReceived drops it)
  kCancelCall,  // cut short the wait of the running call
  kClose,       // close now
};

// What the running call waits for from its client.
enum class CallWait : uint8_t { kNone, kBody, kSend };

// One answer, at the moment it is complete.
struct AnswerRecord {
  // The request's head; null when refused before any of it was read.
  const RequestHead* head = nullptr;
  int status = 0;
  // Body bytes the module wrote; -1 for the host's own answers.
  int64_t body_bytes = -1;
  // From the end of the head until the module returned.
  std::chrono::nanoseconds took{0};
  // The host's own answer: a refusal, or in place of the module's.
  HttpError host_answer = HttpError::kNone;
  bool refused = false;
};

class AnswerSink {
 public:
  virtual void OnAnswer(const AnswerRecord& answer) = 0;

 protected:
  ~AnswerSink() = default;
};

class ConnectionSteps {
 public:
  using Clock = std::chrono::steady_clock;
  using Time = Clock::time_point;

  // `state` and `sink` must outlive the steps.
  ConnectionSteps(ServerState& state, AnswerSink& sink);
  ConnectionSteps(const ConnectionSteps&) = delete;
  ConnectionSteps& operator=(const ConnectionSteps&) = delete;

  Step step() const { return step_; }

  // ---- events; each answers what to do next ----

  // The connection was accepted.
  Action Start(Time now);
  // Makes closed steps as new for the next connection, keeping buffers up
  // to kPooledBufferBytes. REQUIRES: step() == kClosed.
  void Reuse();
  // Bytes arrived (valid for the call only); 0 bytes: the client closed.
  Action OnReceived(const char* data, size_t size, Time now);
  // A receive or a send failed.
  Action OnBroken();
  // `bytes` more of unsent() went out.
  Action OnSent(size_t bytes, Time now);
  // The module call returned after running for `took`.
  // REQUIRES: step() == kInCall.
  Action OnCallReturned(const CallOutcome& outcome,
                        std::chrono::nanoseconds took, Time now);
  // The call could not start: no fiber stack (or memory) to be had. The
  // request is answered 503 and the connection closed.
  // REQUIRES: step() == kInCall.
  Action OnCallImpossible(Time now);
  Action OnTick(Time now);
  // The host is shutting down; `force` once the grace has run out.
  Action OnShutdown(bool force);

  // ---- what the actions act on ----

  // kReceive: the client was answered since the last receive and has likely
  // sent nothing yet.
  bool receive_after_answer() const { return answered_; }
  // kSend: the bytes to send.
  std::string_view unsent() const {
    return std::string_view(out_).substr(sent_);
  }
  // kSend: unsent() is the last the connection sends; it lingers or
  // closes once they have gone.
  bool ends_after_send() const {
    return step_ == Step::kSending &&
           (ending_ == Ending::kLinger || ending_ == Ending::kCloseNow);
  }
  // The earliest time at which OnTick may change anything.
  Time wake_at() const;

  // ---- for the call, while kInCall ----

  RequestIntake& intake() { return intake_; }
  // The call's answer is appended here.
  std::string& output() { return out_; }
  CallPolicy policy() const;
  // Copies up to `size` body bytes already in hand; the count.
  size_t TakeHeldBody(void* buffer, size_t size, Time now);
  // The call waits for its client (kNone: no longer), and got `bytes`
  // of body or sent `bytes` meanwhile.
  void CallWaits(CallWait wait, Time now);
  void CallProgressed(uint64_t bytes, Time now);
  // Its client calls fail from now on: the call was cut off for a slow
  // client (timed out), or the host is stopping by force (aborted).
  bool call_timed_out() const { return call_timed_out_; }
  bool call_aborted() const { return call_aborted_; }

 private:
  // What belongs to one request, reset when the next begins.
  struct Request {
    explicit Request(UploadBudget& budget) : upload(budget) {}
    void Reset();

    bool continue_sent = false;
    bool head_clock_started = false;
    Time head_since;
    UploadReservation upload;
  };

  void Enter(Step next);
  Action Advance(Time now);
  size_t Feed(const char* data, size_t size, Time now);
  void FeedHeld(Time now);
  bool GrowChunkReservation();
  Action AwaitBytes(Time now);
  Time ReadDeadline(Time now);
  Action WaitForRoom(Time now);
  Action RetryRoom(Time now);
  Action BeginCall();
  Action Refuse(HttpError error, Time now);
  Action Flush(Time now);
  Action AfterSent(Time now);
  Action Drain(Time now);
  Action Linger(Time now);
  Clock::duration LingerSilence() const;
  Action Close();
  Action CallTick(Time now);
  void NextRequest(Time now);
  bool ClientAskedClose() const;

  size_t held_size() const { return held_.size() - held_begin_; }
  const char* held_data() const { return held_.data() + held_begin_; }
  void Hold(const char* data, size_t size);
  void Consume(size_t size);

  ServerState& state_;
  const HostOptions& options_;
  AnswerSink& sink_;
  RequestIntake intake_;
  Request request_;
  Step step_ = Step::kReadingHead;
  // What follows the send of what is answered.
  Ending ending_ = Ending::kKeep;
  // Received bytes not consumed yet: [held_begin_, held_.size()).
  std::string held_;
  size_t held_begin_ = 0;
  // Held bytes the intake has not been offered since they changed.
  bool held_fresh_ = false;
  // Answers not sent yet; [0, sent_) of it is sent.
  std::string out_;
  size_t sent_ = 0;
  size_t pipelined_ = 0;
  uint64_t served_ = 0;
  bool answered_ = false;
  uint64_t drain_left_ = 0;
  uint64_t lingered_ = 0;
  Time linger_end_;
  CallWait call_wait_ = CallWait::kNone;
  bool call_timed_out_ = false;
  bool call_aborted_ = false;
  UploadPace pace_;
  // When the wait for the next request began, and the deadline of the
  // step (body steps go by pace_ instead).
  Time idle_since_;
  Time deadline_ = Time::max();
};

}  // namespace pendrakel::server

#endif  // PENDRAKEL_SERVER_IO_CONNECTION_STEPS_H_
