#include "server/io/connection.h"

#include <sys/socket.h>

#include <algorithm>
#include <boost/asio/post.hpp>
#include <cerrno>
#include <cstring>

#include "server/io/io_thread.h"
#include "server/io/server_state.h"
#include "server/io/socket_io.h"
#include "server/limits.h"

namespace pendrakel::server {
namespace {

constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";

}  // namespace

Connection::Connection(IoThread& thread, AcceptedSocket socket)
    : thread_(thread),
      server_(thread.state()),
      traffic_(thread.traffic()),
      socket_(std::move(socket)),
      read_buffer_(new char[kInitialReadBufferBytes]),
      read_capacity_(kInitialReadBufferBytes),
      intake_(server_.intake_limits),
      fiber_(thread.stacks()),
      room_timer_(thread.context()),
      pace_(server_.options.read_timeout, server_.options.min_upload_rate) {
  out_.reserve(kInitialOutputBufferBytes);
}

Connection::~Connection() {
  // A fiber is still parked only when its wait was dropped with the
  // io_context: let it run to its end with every client call failing.
  aborted_ = true;
  while (fiber_.parked()) fiber_.Resume();
  ReleaseUpload();
  thread_.Unregister(this);
  server_.live_connections.fetch_sub(1, std::memory_order_relaxed);
}

void Connection::Start() {
  thread_.Register(this);
  if (thread_.log() != nullptr) {
    boost::system::error_code ignored;
    const auto peer = socket_.remote_endpoint(ignored);
    peer_ = ignored ? "-" : peer.address().to_string();
  }
  request_wait_since_ = Clock::now();
  WaitForInput();
}

// ---- the request loop ----

void Connection::Process() {
  for (;;) {
    FeedIntake();
    if (!ReserveChunks()) return Answer(HttpError::kUploadsBusy);
    switch (intake_.phase()) {
      case IntakePhase::kFailed:
        return Answer(intake_.failure());
      case IntakePhase::kHead:
      case IntakePhase::kBody:
        return WaitForInput();
      case IntakePhase::kPreloaded:
        if (!ReserveUpload()) return WaitForRoom();
        if (!StartRequest()) return;
        break;
      case IntakePhase::kComplete:
        if (!StartRequest()) return;
        break;
    }
  }
}

void Connection::FeedIntake() {
  const IntakePhase before = intake_.phase();
  if (before != IntakePhase::kHead && before != IntakePhase::kBody) return;
  const size_t used =
      intake_.Feed(read_buffer_.get() + read_begin_, read_end_ - read_begin_);
  read_begin_ += used;
  // The body's pace counts from the end of its head.
  const IntakePhase after = intake_.phase();
  if (after == IntakePhase::kBody || after == IntakePhase::kPreloaded) {
    const Clock::time_point now = Clock::now();
    if (before == IntakePhase::kHead) {
      pace_.Start(now);
    } else {
      pace_.Add(used, now);
    }
  }
}

void Connection::WaitForInput() {
  // What is answered goes out before waiting for more.
  if (!out_.empty()) return Flush();
  if (intake_.phase() == IntakePhase::kBody && intake_.head().expect_continue &&
      !continue_sent_) {
    continue_sent_ = true;
    out_.append(kContinue);
    return Flush();
  }
  if (intake_.phase() == IntakePhase::kHead && !intake_.started() &&
      server_.stopping.load(std::memory_order_relaxed)) {
    return CloseNow();
  }
  deadline_ = ReadDeadline();
  if (answered_) return ReadAfterOthers();
  ReadMore();
}

Connection::Clock::time_point Connection::ReadDeadline() {
  const HostOptions& options = server_.options;
  if (intake_.phase() == IntakePhase::kBody) return Clock::time_point::max();
  if (!intake_.started()) {
    return request_wait_since_ +
           (first_request_ ? options.head_timeout : options.idle_timeout);
  }
  if (!head_clock_started_) {
    head_clock_started_ = true;
    head_since_ = Clock::now();
  }
  return head_since_ + options.head_timeout;
}

void Connection::ReadMore() {
  if (!MakeRoom()) {
    return Answer(intake_.phase() == IntakePhase::kHead
                      ? HttpError::kHeadTooLarge
                      : HttpError::kBadRequest);
  }
  state_ = State::kReading;
  socket_.async_read_some(boost::asio::buffer(read_buffer_.get() + read_end_,
                                              read_capacity_ - read_end_),
                          [self = shared_from_this()](
                              const boost::system::error_code& error,
                              size_t bytes) { self->OnRead(error, bytes); });
}

// Just after an answer the client has not had time to send more, so a
// read tried now would find nothing. Tried after the connections already
// waiting to be served, it usually finds the next request.
void Connection::ReadAfterOthers() {
  answered_ = false;
  state_ = State::kReading;
  boost::asio::post(socket_.get_executor(), [self = shared_from_this()] {
    if (self->state_ == State::kReading) self->ReadMore();
  });
}

void Connection::OnRead(const boost::system::error_code& error, size_t bytes) {
  if (state_ == State::kClosed) return;
  if (error) return CloseNow();
  read_end_ += bytes;
  traffic_.bytes_received.Add(bytes);
  Process();
}

// Space at the end of the read buffer: resets, compacts or grows it (up to
// the head limit plus a chunk line, which the intake reports before).
bool Connection::MakeRoom() {
  const size_t held = read_end_ - read_begin_;
  if (held == 0) {
    read_begin_ = read_end_ = 0;
    return true;
  }
  if (read_end_ < read_capacity_ && read_begin_ <= read_capacity_ / 2)
    return true;
  if (read_begin_ > 0) {
    std::memmove(read_buffer_.get(), read_buffer_.get() + read_begin_, held);
    read_begin_ = 0;
    read_end_ = held;
    return true;
  }
  const size_t limit = server_.options.max_head_bytes + kMaxChunkLineBytes;
  if (read_capacity_ >= limit) return false;
  const size_t capacity = std::min(limit, read_capacity_ * 2);
  std::unique_ptr<char[]> grown(new char[capacity]);
  std::memcpy(grown.get(), read_buffer_.get(), held);
  read_buffer_ = std::move(grown);
  read_capacity_ = capacity;
  return true;
}

// ---- the budget of body bytes in progress ----

// Takes `bytes` more of the host-wide budget. The budget never refuses the
// only upload in progress, so no body within --max-body waits for ever.
bool Connection::Reserve(uint64_t bytes) {
  std::atomic<uint64_t>& total = server_.upload_bytes;
  uint64_t current = total.load(std::memory_order_relaxed);
  do {
    if (current != upload_reserved_ &&
        current + bytes > server_.options.max_upload_bytes) {
      return false;
    }
  } while (!total.compare_exchange_weak(current, current + bytes,
                                        std::memory_order_relaxed));
  if (upload_reserved_ == 0)
    server_.uploads.fetch_add(1, std::memory_order_relaxed);
  upload_reserved_ += bytes;
  return true;
}

bool Connection::ReserveUpload() {
  return upload_reserved_ > 0 || Reserve(intake_.head().content_length);
}

// A chunked body in hand grows with every chunk.
bool Connection::ReserveChunks() {
  const IntakePhase phase = intake_.phase();
  if (phase != IntakePhase::kBody && phase != IntakePhase::kComplete)
    return true;
  if (intake_.head().framing != Framing::kChunked) return true;
  const uint64_t held = intake_.body_size();
  return held <= upload_reserved_ || Reserve(held - upload_reserved_);
}

void Connection::ReleaseUpload() {
  if (upload_reserved_ == 0) return;
  server_.upload_bytes.fetch_sub(upload_reserved_, std::memory_order_relaxed);
  server_.uploads.fetch_sub(1, std::memory_order_relaxed);
  upload_reserved_ = 0;
}

// The upload waits, unread, until the budget has room for it or the read
// time-out has passed.
void Connection::WaitForRoom() {
  if (state_ != State::kWaitingForRoom) {
    state_ = State::kWaitingForRoom;
    deadline_ = Clock::now() + server_.options.read_timeout;
  }
  room_timer_.expires_after(kUploadRoomRetryPeriod);
  room_timer_.async_wait(
      [self = shared_from_this()](const boost::system::error_code&) {
        if (self->state_ != State::kWaitingForRoom) return;
        if (self->ReserveUpload()) {
          self->state_ = State::kReading;
          self->pace_.Start(Clock::now());
          return self->Process();
        }
        if (Clock::now() >= self->deadline_)
          return self->Answer(HttpError::kUploadsBusy);
        self->WaitForRoom();
      });
}

// ---- running the extension ----

// Runs the request on a fresh fiber: true when it has returned and the
// loop may go on at once.
bool Connection::StartRequest() {
  // A client waiting for 100 Continue would otherwise send nothing more.
  if (intake_.phase() == IntakePhase::kPreloaded &&
      intake_.head().expect_continue && !continue_sent_) {
    continue_sent_ = true;
    out_.append(kContinue);
  }
  state_ = State::kInExtension;
  request_started_ = Clock::now();
  fiber_.Start([this] {
    must_close_ = call_.Run(server_.proc, intake_, out_, channel_, Policy());
  });
  if (fiber_.parked()) return false;
  return FinishRequest(must_close_);
}

bool Connection::Park(boost::asio::socket_base::wait_type type,
                      Clock::time_point deadline) {
  if (aborted_ || server_.aborting.load(std::memory_order_relaxed)) {
    wake_ = Wake::kAborted;
    return false;
  }
  wake_ = Wake::kNone;
  parked_reading_ = type == boost::asio::socket_base::wait_read;
  deadline_ = deadline;
  server_.parked_requests.fetch_add(1, std::memory_order_relaxed);
  socket_.async_wait(
      type, [self = shared_from_this()](const boost::system::error_code&) {
        self->OnWake();
      });
  fiber_.Suspend();
  server_.parked_requests.fetch_sub(1, std::memory_order_relaxed);
  return wake_ == Wake::kReady;
}

// The socket is ready (or the wait was cut short by a time-out or by the
// shutdown): the fiber goes on from where it parked.
void Connection::OnWake() {
  if (wake_ == Wake::kNone) wake_ = Wake::kReady;
  fiber_.Resume();
  if (fiber_.parked()) return;
  state_ = State::kReading;
  if (FinishRequest(must_close_)) Process();
}

// After the extension returned: keep going (true), or flush first.
bool Connection::FinishRequest(bool must_close) {
  ReleaseUpload();
  const auto took = Clock::now() - request_started_;
  traffic_.CountRequest(call_.status(), took);
  if (LogBuffer* log = thread_.log()) {
    log->Write(peer_, &intake_.head(), call_.status(),
               static_cast<int64_t>(call_.body_bytes()),
               static_cast<uint64_t>(
                   std::chrono::duration_cast<std::chrono::microseconds>(took)
                       .count()));
  }
  if (call_.host_answer() == HttpError::kRequestTimeout)
    traffic_.timeouts.Add(1);
  ++pipelined_;
  answered_ = true;
  const uint64_t unread = intake_.unread_bytes();
  if (must_close || unread > server_.options.drain_limit_bytes ||
      server_.stopping.load(std::memory_order_relaxed)) {
    close_after_flush_ = true;
    // A client that asked for the close and sent nothing more needs no
    // lingering: it sends nothing more that a close could turn into a reset.
    const RequestHead& head = intake_.head();
    close_at_once_ = (!head.keep_alive || head.version < 11) && unread == 0 &&
                     read_begin_ == read_end_;
    Flush();
    return false;
  }
  drain_left_ = unread;
  if (drain_left_ > 0) {
    Flush();
    return false;
  }
  NextRequest();
  if (pipelined_ >= kMaxPipelinedResponses ||
      out_.size() >= kFlushThresholdBytes) {
    Flush();
    return false;
  }
  return true;
}

void Connection::NextRequest() {
  intake_.ReleaseLargeBuffers();
  intake_.Start();
  continue_sent_ = false;
  first_request_ = false;
  head_clock_started_ = false;
  request_wait_since_ = Clock::now();
}

CallPolicy Connection::Policy() const {
  const RequestHead& head = intake_.head();
  CallPolicy policy;
  policy.close_requested = !head.keep_alive || head.version < 11 ||
                           server_.stopping.load(std::memory_order_relaxed);
  policy.drain_limit_bytes = server_.options.drain_limit_bytes;
  return policy;
}

// ---- sending and closing ----

void Connection::Flush() {
  if (out_.empty()) return AfterFlush();
  state_ = State::kWriting;
  flushed_ = 0;
  // Most answers fit the socket at once: sent here, the loop goes on without
  // a round through the event loop.
  const ssize_t sent = SendSome(fd(), out_.data(), out_.size(), nullptr, 0);
  if (sent < 0) return CloseNow();
  OnWritten({}, static_cast<size_t>(sent));
}

// The write time-out counts from the last progress, so a response that
// keeps moving may take as long as it needs.
void Connection::WriteSome() {
  deadline_ = Clock::now() + server_.options.write_timeout;
  socket_.async_write_some(
      boost::asio::buffer(out_.data() + flushed_, out_.size() - flushed_),
      [self = shared_from_this()](const boost::system::error_code& error,
                                  size_t bytes) {
        self->OnWritten(error, bytes);
      });
}

void Connection::OnWritten(const boost::system::error_code& error,
                           size_t bytes) {
  if (state_ == State::kClosed) return;
  if (error) return CloseNow();
  flushed_ += bytes;
  traffic_.bytes_sent.Add(bytes);
  if (flushed_ < out_.size()) return WriteSome();
  out_.clear();
  if (out_.capacity() > kRetainedBufferBytes) out_.shrink_to_fit();
  pipelined_ = 0;
  AfterFlush();
}

void Connection::AfterFlush() {
  if (close_after_flush_) return close_at_once_ ? CloseNow() : Linger();
  if (drain_left_ > 0) return Drain();
  state_ = State::kReading;
  Process();
}

void Connection::Drain() {
  const uint64_t take =
      std::min<uint64_t>(drain_left_, read_end_ - read_begin_);
  read_begin_ += take;
  drain_left_ -= take;
  intake_.TakeBody(take);
  if (drain_left_ == 0) {
    NextRequest();
    state_ = State::kReading;
    return Process();
  }
  read_begin_ = read_end_ = 0;
  state_ = State::kDraining;
  deadline_ = Clock::now() + server_.options.read_timeout;
  socket_.async_read_some(
      boost::asio::buffer(read_buffer_.get(), read_capacity_),
      [self = shared_from_this()](const boost::system::error_code& error,
                                  size_t bytes) {
        if (self->state_ == State::kClosed) return;
        if (error) return self->CloseNow();
        self->read_end_ += bytes;
        self->traffic_.bytes_received.Add(bytes);
        self->Drain();
      });
}

void Connection::Answer(HttpError error) {
  ReleaseUpload();
  close_at_once_ = false;
  traffic_.CountRefusal(ErrorStatus(error));
  if (LogBuffer* log = thread_.log()) {
    log->Write(peer_, intake_.started() ? &intake_.head() : nullptr,
               ErrorStatus(error), -1, 0);
  }
  out_.append(ErrorResponse(error));
  close_after_flush_ = true;
  Flush();
}

// Half-closes and reads until the client closes too, so that a response
// sent while the client was still sending reaches it instead of a reset.
void Connection::Linger() {
  state_ = State::kLingering;
  boost::system::error_code ignored;
  socket_.shutdown(boost::asio::ip::tcp::socket::shutdown_send, ignored);
  deadline_ =
      Clock::now() +
      (server_.stopping.load(std::memory_order_relaxed)
           ? std::chrono::duration_cast<Clock::duration>(kShutdownLingerTimeout)
           : std::chrono::duration_cast<Clock::duration>(kLingerTimeout));
  LingerRead();
}

void Connection::LingerRead() {
  socket_.async_read_some(
      boost::asio::buffer(read_buffer_.get(), read_capacity_),
      [self = shared_from_this()](const boost::system::error_code& error,
                                  size_t bytes) {
        if (self->state_ == State::kClosed) return;
        self->lingered_bytes_ += bytes;
        self->traffic_.bytes_received.Add(bytes);
        if (error || self->lingered_bytes_ > kLingerMaxBytes)
          return self->CloseNow();
        self->LingerRead();
      });
}

void Connection::CloseNow() {
  if (state_ == State::kClosed) return;
  state_ = State::kClosed;
  room_timer_.cancel();
  boost::system::error_code ignored;
  socket_.close(ignored);
}

// Cuts a parked wait short: the fiber resumes and its client call fails.
void Connection::WakeEarly(Wake reason) {
  wake_ = reason;
  boost::system::error_code ignored;
  socket_.cancel(ignored);
}

void Connection::OnSweep(Clock::time_point now) {
  switch (state_) {
    case State::kClosed:
    case State::kWaitingForRoom:  // its own timer watches it
      return;
    case State::kInExtension:
      if (wake_ != Wake::kNone) return;  // already woken
      if (parked_reading_ ? pace_.TooSlow(now) : now >= deadline_)
        WakeEarly(Wake::kTimedOut);
      return;
    case State::kReading:
      if (intake_.phase() == IntakePhase::kBody) {
        if (!pace_.TooSlow(now)) return;
      } else if (now < deadline_) {
        return;
      }
      if (intake_.started()) {
        SendOnce(fd(), ErrorResponse(HttpError::kRequestTimeout));
        traffic_.CountRefusal(408);
      }
      return CloseNow();
    default:
      if (now >= deadline_) CloseNow();
      return;
  }
}

void Connection::OnShutdown(bool force) {
  switch (state_) {
    case State::kClosed:
      return;
    case State::kInExtension:
      if (force) {
        aborted_ = true;
        WakeEarly(Wake::kAborted);
      }
      return;
    case State::kReading:
      if (force ||
          (intake_.phase() == IntakePhase::kHead && !intake_.started()))
        CloseNow();
      return;
    case State::kWriting:
      close_after_flush_ = true;
      if (force) CloseNow();
      return;
    case State::kWaitingForRoom:
    case State::kDraining:
    case State::kLingering:
      CloseNow();
      return;
  }
}

// ---- the channel, on the fiber ----

size_t Connection::FiberChannel::ReadBody(void* buffer, size_t size) {
  Connection& c = connection_;
  failure_ = HttpError::kNone;
  // The client may wait for what is already answered (or for 100 Continue).
  if (!c.out_.empty() && !SendThrough(c.out_, nullptr, 0)) return 0;
  if (c.read_begin_ < c.read_end_) {
    const size_t take = std::min(size, c.read_end_ - c.read_begin_);
    std::memcpy(buffer, c.read_buffer_.get() + c.read_begin_, take);
    c.read_begin_ += take;
    c.pace_.Add(take, Clock::now());
    return take;
  }
  for (;;) {
    const ssize_t got = ::recv(c.fd(), buffer, size, MSG_DONTWAIT);
    if (got > 0) {
      c.pace_.Add(static_cast<uint64_t>(got), Clock::now());
      c.traffic_.bytes_received.Add(static_cast<uint64_t>(got));
      return static_cast<size_t>(got);
    }
    if (got == 0) return 0;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return 0;
    if (!c.Park(boost::asio::socket_base::wait_read,
                Clock::time_point::max())) {
      if (c.wake_ == Wake::kTimedOut) failure_ = HttpError::kRequestTimeout;
      return 0;
    }
  }
}

bool Connection::FiberChannel::SendThrough(std::string& pending,
                                           const void* data, size_t size) {
  Connection& c = connection_;
  const char* bytes = static_cast<const char*>(data);
  size_t pending_sent = 0;
  size_t data_sent = 0;
  while (pending_sent < pending.size() || data_sent < size) {
    const ssize_t sent = SendSome(c.fd(), pending.data() + pending_sent,
                                  pending.size() - pending_sent,
                                  bytes + data_sent, size - data_sent);
    if (sent < 0 || (sent == 0 &&
                     !c.Park(boost::asio::socket_base::wait_write,
                             Clock::now() + c.server_.options.write_timeout))) {
      pending.clear();  // the connection closes; nothing more goes out
      return false;
    }
    const size_t left = static_cast<size_t>(sent);
    c.traffic_.bytes_sent.Add(left);
    const size_t from_pending = std::min(left, pending.size() - pending_sent);
    pending_sent += from_pending;
    data_sent += left - from_pending;
  }
  pending.clear();
  return true;
}

}  // namespace pendrakel::server
