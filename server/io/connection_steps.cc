#include "server/io/connection_steps.h"

#include <algorithm>
#include <cstring>

#include "base/debug_check.h"
#include "server/limits.h"

namespace pendrakel::server {
namespace {

constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";

constexpr uint8_t Bit(Step step) {
  return uint8_t{1} << static_cast<int>(step);
}

// The steps each step may change to (kClosed from anywhere but itself).
constexpr uint8_t kRequestSteps =
    Bit(Step::kReadingHead) | Bit(Step::kReadingBody) |
    Bit(Step::kWaitingForRoom) | Bit(Step::kInCall) | Bit(Step::kSending);
constexpr uint8_t kAfterAnswer =
    kRequestSteps | Bit(Step::kDraining) | Bit(Step::kLingering);
[[maybe_unused]] constexpr uint8_t kNext[] = {
    /* kReadingHead */ kRequestSteps,
    /* kReadingBody */ kRequestSteps & ~Bit(Step::kReadingHead),
    /* kWaitingForRoom */ Bit(Step::kReadingBody) | Bit(Step::kInCall) |
        Bit(Step::kSending),
    /* kInCall */ kAfterAnswer,
    // kSending again: the next request in hand was refused as soon as
    // the answer before it went out.
    /* kSending */ kAfterAnswer,
    /* kDraining */ kRequestSteps | Bit(Step::kDraining),
    /* kLingering */ Bit(Step::kLingering),
    /* kClosed */ 0,
};

ConnectionSteps::Clock::duration Duration(std::chrono::milliseconds span) {
  return std::chrono::duration_cast<ConnectionSteps::Clock::duration>(span);
}

}  // namespace

void ConnectionSteps::Request::Reset() {
  continue_sent = false;
  head_clock_started = false;
  upload.Release();
}

ConnectionSteps::ConnectionSteps(ServerState& state, AnswerSink& sink)
    : state_(state),
      options_(state.options),
      sink_(sink),
      intake_(state.intake_limits),
      request_(state.uploads),
      pace_(state.options.read_timeout, state.options.min_upload_rate,
            state.options.min_upload_average) {}

void ConnectionSteps::Enter(Step next) {
  PK_DCHECK(step_ != Step::kClosed);
  PK_DCHECK(next == Step::kClosed ||
            (kNext[static_cast<int>(step_)] & Bit(next)) != 0);
  step_ = next;
}

Action ConnectionSteps::Start(Time now) {
  idle_since_ = now;
  return Advance(now);
}

void ConnectionSteps::Reuse() {
  PK_DCHECK(step_ == Step::kClosed);
  intake_.ReleaseLargeBuffers();
  intake_.Start();
  request_.Reset();
  step_ = Step::kReadingHead;
  ending_ = Ending::kKeep;
  held_.clear();
  held_begin_ = 0;
  held_fresh_ = false;
  out_.clear();
  sent_ = 0;
  for (std::string* buffer : {&held_, &out_}) {
    if (buffer->capacity() > kPooledBufferBytes) buffer->shrink_to_fit();
  }
  pipelined_ = 0;
  served_ = 0;
  answered_ = false;
  drain_left_ = 0;
  lingered_ = 0;
  call_wait_ = CallWait::kNone;
  call_timed_out_ = false;
  call_aborted_ = false;
  deadline_ = Time::max();
}

// ---- reading a request ----

// From what is in hand: the next request's call, a refusal, or a wait for
// more bytes.
Action ConnectionSteps::Advance(Time now) {
  if (held_fresh_) FeedHeld(now);
  if (!GrowChunkReservation()) return WaitForRoom(now);
  switch (intake_.phase()) {
    case IntakePhase::kFailed:
      return Refuse(intake_.failure(), now);
    case IntakePhase::kHead:
    case IntakePhase::kBody:
      return AwaitBytes(now);
    case IntakePhase::kPreloaded:
      if (!request_.upload.GrowTo(intake_.head().content_length))
        return WaitForRoom(now);
      return BeginCall();
    case IntakePhase::kComplete:
      return BeginCall();
  }
  return Close();
}

size_t ConnectionSteps::Feed(const char* data, size_t size, Time now) {
  const IntakePhase before = intake_.phase();
  if (before != IntakePhase::kHead && before != IntakePhase::kBody) return 0;
  const size_t used = intake_.Feed(data, size);
  // The body's pace counts from the end of its head.
  const IntakePhase after = intake_.phase();
  if (after == IntakePhase::kBody || after == IntakePhase::kPreloaded) {
    if (before == IntakePhase::kHead) {
      pace_.Start(now, intake_.head().content_length);
    } else {
      pace_.Add(used, now);
    }
  }
  return used;
}

void ConnectionSteps::FeedHeld(Time now) {
  held_fresh_ = false;
  Consume(Feed(held_data(), held_size(), now));
}

// A chunked body in hand grows with every chunk.
bool ConnectionSteps::GrowChunkReservation() {
  const IntakePhase phase = intake_.phase();
  if (phase != IntakePhase::kBody && phase != IntakePhase::kComplete)
    return true;
  if (intake_.head().framing != Framing::kChunked) return true;
  return request_.upload.GrowTo(intake_.body_size());
}

Action ConnectionSteps::AwaitBytes(Time now) {
  // What is answered goes out before waiting for more.
  if (!out_.empty()) return Flush(now);
  const bool in_head = intake_.phase() == IntakePhase::kHead;
  if (!in_head && intake_.head().expect_continue && !request_.continue_sent) {
    // The client waits for this before it sends its body.
    request_.continue_sent = true;
    out_.append(kContinue);
    return Flush(now);
  }
  if (in_head && !intake_.started() && state_.stopping_now()) return Close();
  // A head (or a chunk-size line) that does not end within its limit.
  if (held_size() >= options_.max_head_bytes + kMaxChunkLineBytes) {
    return Refuse(in_head ? HttpError::kHeadTooLarge : HttpError::kBadRequest,
                  now);
  }
  Enter(in_head ? Step::kReadingHead : Step::kReadingBody);
  deadline_ = ReadDeadline(now);
  return Action::kReceive;
}

ConnectionSteps::Time ConnectionSteps::ReadDeadline(Time now) {
  if (intake_.phase() == IntakePhase::kBody) return Time::max();
  if (!intake_.started()) {
    return idle_since_ +
           (served_ == 0 ? options_.head_timeout : options_.idle_timeout);
  }
  if (!request_.head_clock_started) {
    request_.head_clock_started = true;
    request_.head_since = now;
  }
  return request_.head_since + options_.head_timeout;
}

Action ConnectionSteps::OnReceived(const char* data, size_t size, Time now) {
  answered_ = false;
  if (size == 0) return step_ == Step::kClosed ? Action::kNone : Close();
  switch (step_) {
    case Step::kReadingHead:
    case Step::kReadingBody:
      if (held_size() == 0) {
        // Most requests arrive whole: fed straight from the bytes received,
        // only what is left over is kept.
        const size_t used = Feed(data, size, now);
        Hold(data + used, size - used);
        held_fresh_ = false;
      } else {
        Hold(data, size);
      }
      return Advance(now);
    case Step::kDraining: {
      const size_t take =
          static_cast<size_t>(std::min<uint64_t>(drain_left_, size));
      drain_left_ -= take;
      intake_.TakeBody(take);
      pace_.Add(take, now);
      Hold(data + take, size - take);
      return Drain(now);
    }
    case Step::kLingering:
      lingered_ += size;
      if (lingered_ > kLingerMaxBytes) return Close();
      deadline_ = std::min(linger_end_, now + LingerSilence());
      return Action::kReceive;
    default:
      // A receive that was under way when a time-out refused the request.
      return Action::kNone;
  }
}

Action ConnectionSteps::WaitForRoom(Time now) {
  Enter(Step::kWaitingForRoom);
  deadline_ = now + options_.read_timeout;
  return Action::kNone;
}

// A declared body reserves its length before the call; a chunked one what
// it has gathered before it reads on. Either waits here, not receiving.
Action ConnectionSteps::RetryRoom(Time now) {
  const bool chunked = intake_.head().framing == Framing::kChunked;
  const uint64_t wanted =
      chunked ? intake_.body_size() : intake_.head().content_length;
  if (request_.upload.GrowTo(wanted)) {
    if (chunked) {
      pace_.Start(now);
      return Advance(now);
    }
    pace_.Start(now, intake_.unread_bytes());
    return BeginCall();
  }
  if (now < deadline_) return Action::kNone;
  return Refuse(HttpError::kUploadsBusy, now);
}

// ---- the call ----

Action ConnectionSteps::BeginCall() {
  const RequestHead& head = intake_.head();
  if (intake_.phase() == IntakePhase::kPreloaded && head.expect_continue &&
      !request_.continue_sent) {
    request_.continue_sent = true;
    out_.append(kContinue);
  }
  // Room for a small answer at once, so that its head does not grow the
  // buffer piece by piece (a connection kept alive keeps it).
  if (out_.capacity() < kInitialOutputBufferBytes)
    out_.reserve(kInitialOutputBufferBytes);
  Enter(Step::kInCall);
  call_wait_ = CallWait::kNone;
  call_timed_out_ = false;
  return Action::kCall;
}

CallPolicy ConnectionSteps::policy() const {
  CallPolicy policy;
  policy.close_requested = ClientAskedClose() || state_.stopping_now();
  policy.drain_limit_bytes = options_.drain_limit_bytes;
  return policy;
}

bool ConnectionSteps::ClientAskedClose() const {
  const RequestHead& head = intake_.head();
  return !head.keep_alive || head.version < 11;
}

size_t ConnectionSteps::TakeHeldBody(void* buffer, size_t size, Time now) {
  const size_t take = std::min(size, held_size());
  std::memcpy(buffer, held_data(), take);
  Consume(take);
  if (take > 0) pace_.Add(take, now);
  return take;
}

void ConnectionSteps::CallWaits(CallWait wait, Time now) {
  call_wait_ = wait;
  if (wait == CallWait::kSend) deadline_ = now + options_.write_timeout;
}

void ConnectionSteps::CallProgressed(uint64_t bytes, Time now) {
  if (call_wait_ == CallWait::kSend) {
    deadline_ = now + options_.write_timeout;
  } else {
    pace_.Add(bytes, now);
  }
}

Action ConnectionSteps::OnCallReturned(const CallOutcome& outcome,
                                       std::chrono::nanoseconds took,
                                       Time now) {
  PK_DCHECK(step_ == Step::kInCall);
  AnswerRecord answer;
  answer.head = &intake_.head();
  answer.status = outcome.status;
  answer.body_bytes = static_cast<int64_t>(outcome.body_bytes);
  answer.took = took;
  answer.host_answer = outcome.host_answer;
  sink_.OnAnswer(answer);
  ++pipelined_;
  ++served_;
  answered_ = true;
  call_wait_ = CallWait::kNone;
  EndingFacts facts;
  facts.call_must_close = outcome.must_close;
  facts.client_asked_close = ClientAskedClose();
  facts.stopping = state_.stopping_now();
  facts.unread_body = intake_.unread_bytes();
  facts.drain_limit = options_.drain_limit_bytes;
  facts.more_bytes_held = held_size() > 0;
  ending_ = DecideEnding(facts);
  request_.upload.Release();
  if (ending_ == Ending::kDrain) drain_left_ = facts.unread_body;
  if (ending_ != Ending::kKeep) return Flush(now);
  NextRequest(now);
  if (pipelined_ >= kMaxPipelinedResponses ||
      out_.size() >= kFlushThresholdBytes) {
    return Flush(now);
  }
  return Advance(now);
}

Action ConnectionSteps::OnCallImpossible(Time now) {
  PK_DCHECK(step_ == Step::kInCall);
  return Refuse(HttpError::kNoMemory, now);
}

Action ConnectionSteps::Refuse(HttpError error, Time now) {
  request_.upload.Release();
  AnswerRecord answer;
  answer.head = intake_.started() ? &intake_.head() : nullptr;
  answer.status = ErrorStatus(error);
  answer.host_answer = error;
  answer.refused = true;
  sink_.OnAnswer(answer);
  out_.append(ErrorResponse(error));
  answered_ = true;
  EndingFacts facts;
  facts.refusal = error;
  ending_ = DecideEnding(facts);
  return Flush(now);
}

void ConnectionSteps::NextRequest(Time now) {
  intake_.ReleaseLargeBuffers();
  intake_.Start();
  request_.Reset();
  idle_since_ = now;
  held_fresh_ = held_size() > 0;
}

// ---- sending, and what follows ----

Action ConnectionSteps::Flush(Time now) {
  if (out_.empty()) return AfterSent(now);
  Enter(Step::kSending);
  deadline_ = now + options_.write_timeout;
  return Action::kSend;
}

Action ConnectionSteps::OnSent(size_t bytes, Time now) {
  if (step_ != Step::kSending) return Action::kNone;
  sent_ += bytes;
  if (sent_ < out_.size()) {
    // The write time-out counts from the last progress.
    deadline_ = now + options_.write_timeout;
    return Action::kSend;
  }
  out_.clear();
  if (out_.capacity() > kRetainedBufferBytes) out_.shrink_to_fit();
  sent_ = 0;
  return AfterSent(now);
}

Action ConnectionSteps::AfterSent(Time now) {
  pipelined_ = 0;
  switch (ending_) {
    case Ending::kKeep:
      return Advance(now);
    case Ending::kDrain:
      // The rest of the body must come at the pace of an upload.
      pace_.Start(now, drain_left_);
      return Drain(now);
    case Ending::kLinger:
      return Linger(now);
    case Ending::kCloseNow:
      break;
  }
  return Close();
}

Action ConnectionSteps::Drain(Time now) {
  const size_t take =
      static_cast<size_t>(std::min<uint64_t>(drain_left_, held_size()));
  Consume(take);
  drain_left_ -= take;
  intake_.TakeBody(take);
  if (drain_left_ > 0) {
    Enter(Step::kDraining);
    return Action::kReceive;
  }
  ending_ = Ending::kKeep;
  NextRequest(now);
  return Advance(now);
}

Action ConnectionSteps::Linger(Time now) {
  Enter(Step::kLingering);
  lingered_ = 0;
  linger_end_ = now + (state_.stopping_now() ? Duration(kShutdownLingerTimeout)
                                             : Duration(kLingerTimeout));
  deadline_ = std::min(linger_end_, now + LingerSilence());
  return Action::kLinger;
}

ConnectionSteps::Clock::duration ConnectionSteps::LingerSilence() const {
  return state_.stopping_now() ? Duration(kShutdownLingerTimeout)
                               : Duration(kLingerSilenceTimeout);
}

Action ConnectionSteps::Close() {
  request_.upload.Release();
  Enter(Step::kClosed);
  return Action::kClose;
}

Action ConnectionSteps::OnBroken() {
  return step_ == Step::kClosed ? Action::kNone : Close();
}

// ---- time and shutting down ----

ConnectionSteps::Time ConnectionSteps::wake_at() const {
  if (step_ == Step::kWaitingForRoom) return Time::min();  // every tick
  const bool paced = step_ == Step::kReadingBody || step_ == Step::kDraining ||
                     (step_ == Step::kInCall && call_wait_ == CallWait::kBody);
  if (paced) return pace_.next_check();
  if (step_ == Step::kInCall && call_wait_ == CallWait::kNone)
    return Time::max();
  return step_ == Step::kClosed ? Time::max() : deadline_;
}

Action ConnectionSteps::OnTick(Time now) {
  switch (step_) {
    case Step::kReadingHead:
      if (now < deadline_) return Action::kNone;
      return intake_.started() ? Refuse(HttpError::kRequestTimeout, now)
                               : Close();
    case Step::kReadingBody:
      if (!pace_.TooSlow(now)) return Action::kNone;
      return Refuse(HttpError::kRequestTimeout, now);
    case Step::kWaitingForRoom:
      return RetryRoom(now);
    case Step::kInCall:
      return CallTick(now);
    case Step::kDraining:
      // Too slow to be worth keeping: it has its answer already.
      return pace_.TooSlow(now) ? Close() : Action::kNone;
    case Step::kSending:
    case Step::kLingering:
      return now < deadline_ ? Action::kNone : Close();
    case Step::kClosed:
      break;
  }
  return Action::kNone;
}

Action ConnectionSteps::CallTick(Time now) {
  if (call_wait_ == CallWait::kNone || call_timed_out_) return Action::kNone;
  const bool late =
      call_wait_ == CallWait::kBody ? pace_.TooSlow(now) : now >= deadline_;
  if (!late) return Action::kNone;
  call_timed_out_ = true;
  return Action::kCancelCall;
}

Action ConnectionSteps::OnShutdown(bool force) {
  switch (step_) {
    case Step::kReadingHead:
      return force || !intake_.started() ? Close() : Action::kNone;
    case Step::kReadingBody:
      return force ? Close() : Action::kNone;
    case Step::kInCall:
      if (!force) return Action::kNone;
      call_aborted_ = true;
      return call_wait_ == CallWait::kNone ? Action::kNone
                                           : Action::kCancelCall;
    case Step::kSending:
      if (force) return Close();
      if (ending_ == Ending::kKeep || ending_ == Ending::kDrain)
        ending_ = Ending::kLinger;
      return Action::kNone;
    case Step::kWaitingForRoom:
    case Step::kDraining:
    case Step::kLingering:
      return Close();
    case Step::kClosed:
      break;
  }
  return Action::kNone;
}

// ---- held bytes ----

void ConnectionSteps::Hold(const char* data, size_t size) {
  if (size == 0) return;
  if (held_begin_ > 0) {
    held_.erase(0, held_begin_);
    held_begin_ = 0;
  }
  held_.append(data, size);
  held_fresh_ = true;
}

void ConnectionSteps::Consume(size_t size) {
  held_begin_ += size;
  if (held_begin_ < held_.size()) return;
  held_.clear();
  held_begin_ = 0;
  if (held_.capacity() > kRetainedBufferBytes) held_.shrink_to_fit();
}

}  // namespace pendrakel::server
