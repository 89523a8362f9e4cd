#include "server/connection.h"

#include <sys/socket.h>

#include <algorithm>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <cstring>

#include "server/io_thread.h"
#include "server/limits.h"
#include "server/server_state.h"
#include "server/socket_io.h"

namespace pendrakel::server {
namespace {

constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";

}  // namespace

Connection::Connection(IoThread& thread, boost::asio::ip::tcp::socket socket)
    : thread_(thread),
      server_(thread.state()),
      socket_(std::move(socket)),
      read_buffer_(new char[kInitialReadBufferBytes]),
      read_capacity_(kInitialReadBufferBytes),
      intake_(server_.intake_limits) {}

Connection::~Connection() {
  thread_.Unregister(this);
  server_.live_connections.fetch_sub(1, std::memory_order_relaxed);
}

void Connection::Start() {
  thread_.Register(this);
  boost::system::error_code ignored;
  socket_.set_option(boost::asio::ip::tcp::no_delay(true), ignored);
  request_wait_since_ = Clock::now();
  WaitForInput();
}

// ---- the request loop ----

void Connection::Process() {
  for (;;) {
    FeedIntake();
    switch (intake_.phase()) {
      case IntakePhase::kFailed:
        return Answer(intake_.failure());
      case IntakePhase::kHead:
      case IntakePhase::kBody:
        return WaitForInput();
      case IntakePhase::kPreloaded:
        return DispatchToUploadThread();
      case IntakePhase::kComplete:
        if (!RunInline()) return;
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
  // The read time-out counts from the end of the head and from each piece
  // of body.
  if (used > 0 && intake_.phase() != IntakePhase::kHead)
    body_progress_ = Clock::now();
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
  ReadMore();
}

Connection::Clock::time_point Connection::ReadDeadline() {
  const HostOptions& options = server_.options;
  if (intake_.phase() == IntakePhase::kBody)
    return body_progress_ + options.read_timeout;
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

void Connection::OnRead(const boost::system::error_code& error, size_t bytes) {
  if (state_ == State::kClosed) return;
  if (error) return CloseNow();
  read_end_ += bytes;
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

bool Connection::RunInline() {
  const bool must_close =
      call_.Run(server_.proc, intake_, out_, inline_channel_, Policy());
  return FinishRequest(must_close);
}

void Connection::DispatchToUploadThread() {
  // A client waiting for 100 Continue would otherwise send nothing more.
  if (intake_.head().expect_continue && !continue_sent_) {
    continue_sent_ = true;
    out_.append(kContinue);
  }
  state_ = State::kInExtension;
  server_.pool.Post([self = shared_from_this(), policy = Policy()]() mutable {
    const bool must_close =
        self->call_.Run(self->server_.proc, self->intake_, self->out_,
                        self->blocking_channel_, policy);
    boost::asio::io_context& context = self->thread_.context();
    boost::asio::post(context, [self = std::move(self), must_close] {
      self->AfterUploadThread(must_close);
    });
  });
}

void Connection::AfterUploadThread(bool must_close) {
  state_ = State::kReading;
  if (FinishRequest(must_close)) Process();
}

// After the extension returned: keep going (true), or flush first.
bool Connection::FinishRequest(bool must_close) {
  ++pipelined_;
  const uint64_t unread = intake_.unread_bytes();
  if (must_close || unread > server_.options.drain_limit_bytes ||
      server_.stopping.load(std::memory_order_relaxed)) {
    close_after_flush_ = true;
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
  deadline_ = Clock::now() + server_.options.write_timeout;
  boost::asio::async_write(
      socket_, boost::asio::buffer(out_),
      [self = shared_from_this()](const boost::system::error_code& error,
                                  size_t) { self->OnWritten(error); });
}

void Connection::OnWritten(const boost::system::error_code& error) {
  if (state_ == State::kClosed) return;
  if (error) return CloseNow();
  out_.clear();
  if (out_.capacity() > kRetainedBufferBytes) out_.shrink_to_fit();
  pipelined_ = 0;
  AfterFlush();
}

void Connection::AfterFlush() {
  if (close_after_flush_) return Linger();
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
        self->Drain();
      });
}

void Connection::Answer(HttpError error) {
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
        if (error || self->lingered_bytes_ > kLingerMaxBytes)
          return self->CloseNow();
        self->LingerRead();
      });
}

void Connection::CloseNow() {
  if (state_ == State::kClosed) return;
  state_ = State::kClosed;
  boost::system::error_code ignored;
  socket_.close(ignored);
}

void Connection::OnSweep(Clock::time_point now) {
  if (state_ == State::kInExtension || state_ == State::kClosed ||
      now < deadline_) {
    return;
  }
  if (state_ == State::kReading && intake_.phase() == IntakePhase::kHead &&
      intake_.started()) {
    SendOnce(fd(), ErrorResponse(HttpError::kRequestTimeout));
  }
  CloseNow();
}

void Connection::OnShutdown(bool force) {
  switch (state_) {
    case State::kClosed:
      return;
    case State::kInExtension:
      // Wakes an upload thread blocked on this client.
      if (force) ::shutdown(fd(), SHUT_RDWR);
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
    case State::kDraining:
    case State::kLingering:
      CloseNow();
      return;
  }
}

// ---- channels ----

size_t Connection::InlineChannel::ReadBody(void*, size_t) {
  return 0;  // a request runs inline only with its whole body in hand
}

bool Connection::InlineChannel::SendThrough(std::string& pending,
                                            const void* data, size_t size) {
  return SendWhatFits(connection_.fd(), pending, data, size);
}

size_t Connection::BlockingChannel::ReadBody(void* buffer, size_t size) {
  Connection& c = connection_;
  const ServerState& server = c.server_;
  // The client may wait for what is already answered (or for 100 Continue).
  if (!c.out_.empty() &&
      !SendAll(c.fd(), c.out_, nullptr, 0, server.options.write_timeout,
               server.aborting)) {
    return 0;
  }
  if (c.read_begin_ < c.read_end_) {
    const size_t take = std::min(size, c.read_end_ - c.read_begin_);
    std::memcpy(buffer, c.read_buffer_.get() + c.read_begin_, take);
    c.read_begin_ += take;
    return take;
  }
  return ReceiveSome(c.fd(), buffer, size, server.options.read_timeout,
                     server.aborting);
}

bool Connection::BlockingChannel::SendThrough(std::string& pending,
                                              const void* data, size_t size) {
  const ServerState& server = connection_.server_;
  return SendAll(connection_.fd(), pending, data, size,
                 server.options.write_timeout, server.aborting);
}

}  // namespace pendrakel::server
