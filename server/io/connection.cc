#include "server/io/connection.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "server/io/io_thread.h"
#include "server/io/socket_io.h"

namespace pendrakel::server {
Connection::Connection(IoThread& thread, int fd, ConnectionSlot slot, bool tls)
    : thread_(thread),
      loop_(thread.loop()),
      fd_(fd),
      slot_(std::move(slot)),
      steps_(thread.state(), *this),
      fiber_(thread.stacks()) {
  if (tls) StartTls();
}

Connection::~Connection() {
  // A call is still parked only when the thread ended with the connection
  // open: let it run to its end with every client call failing.
  abandoned_ = true;
  while (fiber_.parked()) {
    call_result_ = -ECANCELED;
    fiber_.Resume();
  }
  if (!closed_ && !closing_) ::close(fd_);
}

void Connection::Reuse(int fd, ConnectionSlot slot, bool tls) {
  // A TLS session is never carried over: each client gets a new one with
  // the thread's context of now.
  tls_.reset();
  if (tls) StartTls();
  tls_plain_in_flight_ = 0;
  tls_log_fields_.clear();
  tls_send_wanted_ = false;
  fd_ = fd;
  slot_ = std::move(slot);
  peer_.clear();
  steps_.Reuse();
  call_op_ = nullptr;
  read_failure_ = HttpError::kNone;
  closing_ = closed_ = retired_ = false;
}

void Connection::Start() {
  Guarded([this] {
    if (thread_.log() != nullptr) peer_ = PeerAddress(fd_);
    Do(steps_.Start(thread_.now()));
  });
}

template <typename Event>
void Connection::Guarded(Event event) noexcept {
  try {
    event();
  } catch (const std::bad_alloc&) {
    // Out of memory outside the call: this connection closes, the process
    // and every other connection go on.
    steps_.OnBroken();
    Close();
  }
  RetireWhenDone();
}

void Connection::Do(Action action) {
  for (;;) {
    switch (action) {
      case Action::kNone:
        return;
      case Action::kReceive:
        if (tls_) {
          action = TlsReceive();
          continue;
        }
        return loop_.ReceiveLent(receiver_, fd_, steps_.receive_after_answer());
      case Action::kSend:
        if (tls_) {
          action = TlsSend();
          continue;
        }
        return loop_.Send(sender_, fd_, steps_.unsent(), {});
      case Action::kCall:
        action = RunCall();
        continue;
      case Action::kLinger:
        if (tls_) TlsCloseNotify();
        loop_.ShutdownSend(sender_, fd_);
        return loop_.ReceiveLent(receiver_, fd_, true);
      case Action::kCancelCall:
        if (call_op_ != nullptr) loop_.Cancel(*call_op_);
        return;
      case Action::kClose:
        if (tls_) TlsCloseNotify();
        return Close();
    }
  }
}

void Connection::OnComplete(IoOp& op, const IoResult& result) {
  Guarded([&] { Complete(op, result); });
}

void Connection::Complete(IoOp& op, const IoResult& result) {
  const Clock::time_point now = thread_.now();
  TrafficCounters& traffic = thread_.traffic();
  if (&op == call_op_) {
    if (tls_ && &op == &receiver_) TlsTake(result);
    call_result_ = result.value;
    fiber_.Resume();
    Do(fiber_.parked() ? Action::kNone : FinishCall());
  } else if (tls_ && &op == &receiver_) {
    TlsOnReceived(result);
  } else if (tls_ && &op == &sender_ && steps_.step() != Step::kLingering) {
    TlsOnSent(result);
  } else if (&op == &receiver_) {
    if (result.value > 0) traffic.bytes_received.Add(result.value);
    Do(result.value < 0
           ? steps_.OnBroken()
           : steps_.OnReceived(result.lent, static_cast<size_t>(result.value),
                               now));
  } else if (&op == &sender_) {
    // In lingering this was the half-close, which says nothing new.
    if (steps_.step() != Step::kLingering) {
      if (result.value > 0) traffic.bytes_sent.Add(result.value);
      Do(result.value < 0
             ? steps_.OnBroken()
             : steps_.OnSent(static_cast<size_t>(result.value), now));
    }
  } else if (&op == &closer_) {
    closed_ = true;
  }
}

void Connection::OnTick(Clock::time_point now) {
  Guarded([&] {
    const Action action = steps_.OnTick(now);
    Do(tls_ ? TlsTick(action) : action);
  });
}

void Connection::OnShutdown(bool force) {
  Guarded([&] { Do(steps_.OnShutdown(force)); });
}

void Connection::Close() {
  if (closing_) return;
  closing_ = true;
  loop_.Cancel(receiver_);
  loop_.Cancel(sender_);
  loop_.Close(closer_, fd_);
}

void Connection::RetireWhenDone() {
  if (retired_ || !closed_ || receiver_.busy() || sender_.busy() ||
      fiber_.parked()) {
    return;
  }
  retired_ = true;
  slot_.reset();  // closed: the slot is free for the next client at once
  thread_.Retire(this);
}

// ---- the module call ----

Action Connection::RunCall() {
  call_started_ = Clock::now();
  const bool started = fiber_.Start([this]() noexcept {
    try {
      outcome_ = call_.Run(thread_.state().proc, steps_.intake(),
                           steps_.output(), *this, steps_.policy());
    } catch (const std::bad_alloc&) {
      // The host's side of the call ran out of memory: what went out may
      // be cut short, so the connection closes after it.
      outcome_ = CallOutcome{};
      outcome_.status = ErrorStatus(HttpError::kNoMemory);
      outcome_.host_answer = HttpError::kNoMemory;
      outcome_.must_close = true;
    }
  });
  if (!started) return steps_.OnCallImpossible(thread_.now());
  if (fiber_.parked()) return Action::kNone;
  return FinishCall();
}

Action Connection::FinishCall() {
  const Clock::time_point end = Clock::now();
  return steps_.OnCallReturned(outcome_, end - call_started_, thread_.now());
}

bool Connection::CallCutOff() const {
  return abandoned_ || steps_.call_timed_out() || steps_.call_aborted() ||
         thread_.state().aborting_now();
}

int Connection::Park(IoOp& op, CallWait wait) {
  std::atomic<int>& parked = thread_.state().parked_requests;
  call_op_ = &op;
  steps_.CallWaits(wait, thread_.now());
  parked.fetch_add(1, std::memory_order_relaxed);
  fiber_.Suspend();
  parked.fetch_sub(1, std::memory_order_relaxed);
  call_op_ = nullptr;
  steps_.CallWaits(CallWait::kNone, thread_.now());
  return call_result_;
}

size_t Connection::ReadBody(void* buffer, size_t size) {
  read_failure_ = HttpError::kNone;
  // The client may wait for what is already answered (or for 100 Continue).
  std::string& answered = steps_.output();
  if (!answered.empty() && !SendThrough(answered, nullptr, 0)) return 0;
  if (const size_t held = steps_.TakeHeldBody(buffer, size, thread_.now()))
    return held;
  if (tls_) {
    const size_t got = TlsReadBody(buffer, size);
    if (got == 0 && steps_.call_timed_out())
      read_failure_ = HttpError::kRequestTimeout;
    return got;
  }
  if (!CallCutOff()) {
    loop_.Receive(receiver_, fd_, buffer, size);
    const int got = Park(receiver_, CallWait::kBody);
    if (got > 0) {
      thread_.traffic().bytes_received.Add(static_cast<uint64_t>(got));
      steps_.CallProgressed(static_cast<uint64_t>(got), thread_.now());
      return static_cast<size_t>(got);
    }
  }
  if (steps_.call_timed_out()) read_failure_ = HttpError::kRequestTimeout;
  return 0;
}

bool Connection::SendThrough(std::string& pending, const void* data,
                             size_t size) {
  if (tls_) return TlsSendThrough(pending, data, size);
  const std::string_view body(static_cast<const char*>(data), size);
  size_t pending_sent = 0;
  size_t body_sent = 0;
  while (pending_sent < pending.size() || body_sent < size) {
    int sent = 0;
    if (!CallCutOff()) {
      loop_.Send(sender_, fd_, std::string_view(pending).substr(pending_sent),
                 body.substr(body_sent));
      sent = Park(sender_, CallWait::kSend);
    }
    if (sent <= 0) {
      pending.clear();  // the connection closes; nothing more goes out
      return false;
    }
    const size_t moved = static_cast<size_t>(sent);
    thread_.traffic().bytes_sent.Add(moved);
    steps_.CallProgressed(moved, thread_.now());
    const size_t from_pending = std::min(moved, pending.size() - pending_sent);
    pending_sent += from_pending;
    body_sent += moved - from_pending;
  }
  pending.clear();
  return true;
}

// ---- the one point every answer passes ----

void Connection::OnAnswer(const AnswerRecord& answer) {
  TrafficCounters& traffic = thread_.traffic();
  if (answer.refused) {
    traffic.CountRefusal(answer.status);
  } else {
    traffic.CountRequest(answer.status, answer.took);
    if (answer.host_answer == HttpError::kRequestTimeout)
      traffic.timeouts.Add(1);
  }
  if (LogBuffer* log = thread_.log()) {
    log->Write(
        peer_, answer.head, answer.status, answer.body_bytes,
        static_cast<uint64_t>(
            std::chrono::duration_cast<std::chrono::microseconds>(answer.took)
                .count()),
        tls_ ? TlsLogFields() : std::string_view());
  }
}

}  // namespace pendrakel::server
