// Connection's TLS: the three places bytes cross between the socket and
// the steps (a receive's completion, a send, the call's own reads and
// writes), for a connection accepted on the TLS port. The steps see only
// plaintext; the loop sees only ciphertext.
//
// The sender carries ciphertext one batch at a time: a batch is encrypted
// only once the one before has gone, and the steps (or the call) are told
// of the plaintext sent once its whole batch has. The handshake's flights
// go out the moment OpenSSL finishes each (SendFlight), so the client works
// on them while the session derives its next keys; the first answer
// carries the TLS 1.3 ticket and the last the close_notify; what the socket
// did not take goes out when the connection is about to wait for its
// client.
#include <utility>

#include "server/http/http_error.h"
#include "server/io/connection.h"
#include "server/io/io_thread.h"
#include "server/io/socket_io.h"
#include "server/limits.h"

namespace pendrakel::server {

using Status = TlsSession::Status;

void Connection::StartTls() {
  tls_ = std::make_unique<TlsSession>(thread_.tls().context);
  tls_->SendFlightsThrough(&Connection::SendFlight, this);
}

// A flight goes out at once unless the loop is still sending the bytes
// before it; what the socket does not take, the loop sends.
size_t Connection::SendFlight(void* connection, std::string_view cipher) {
  auto& self = *static_cast<Connection*>(connection);
  if (self.sender_.busy()) return 0;
  const size_t sent = SendNow(self.fd_, cipher);
  self.thread_.traffic().bytes_sent.Add(sent);
  return sent;
}

Action Connection::TlsReceive() {
  bool fresh = false;
  if (!tls_->established()) {
    switch (tls_->Handshake()) {
      case Status::kDone:
        thread_.tls().counters.completed.Add();
        if (tls_->resumed()) thread_.tls().counters.resumed.Add();
        fresh = true;
        break;
      case Status::kWant:
        return AwaitCipher();
      case Status::kClosed:
      case Status::kFailed:
        return TlsRefused();
    }
  }
  std::array<char, kTlsReadChunkBytes>& plain = thread_.tls().plain;
  for (;;) {
    size_t got = 0;
    switch (tls_->Read(plain.data(), plain.size(), got)) {
      case Status::kDone:
        return steps_.OnReceived(plain.data(), got, thread_.now());
      case Status::kWant:
        if (std::exchange(fresh, false) && TlsReceiveNow()) continue;
        return AwaitCipher();
      case Status::kClosed:
        return steps_.OnReceived(nullptr, 0, thread_.now());
      case Status::kFailed:
        return steps_.OnBroken();
    }
  }
}

// A client sends its first request right behind its Finished, so it has
// mostly arrived by the time the handshake is done: taken at once, it is
// answered in this turn of the loop rather than a turn later. One system
// call per TLS connection.
bool Connection::TlsReceiveNow() {
  std::array<char, kTlsReadChunkBytes>& cipher = thread_.tls().cipher;
  const size_t got = ReceiveNow(fd_, cipher.data(), cipher.size());
  if (got == 0) return false;
  thread_.traffic().bytes_received.Add(got);
  tls_->Feed(cipher.data(), got);
  return true;
}

Action Connection::AwaitCipher() {
  FlushTls();
  loop_.ReceiveLent(receiver_, fd_, steps_.receive_after_answer());
  return Action::kNone;
}

void Connection::FlushTls() {
  if (!sender_.busy() && !tls_->cipher_out().empty())
    loop_.Send(sender_, fd_, tls_->cipher_out(), {});
}

Action Connection::TlsRefused() {
  thread_.tls().counters.failed[static_cast<size_t>(tls_->failure())].Add();
  if (tls_->plain_http()) {
    SendOnce(fd_, ErrorResponse(HttpError::kBadRequest));
  } else if (!sender_.busy() && !tls_->cipher_out().empty()) {
    SendOnce(fd_, tls_->cipher_out());  // the alert that says why
  }
  return steps_.OnBroken();
}

Action Connection::TlsTick(Action action) {
  if (tls_->established() || action == Action::kNone) return action;
  // The handshake took longer than a head may: closed without an answer,
  // which the client could not read.
  thread_.tls()
      .counters.failed[static_cast<size_t>(TlsFailure::kTimeout)]
      .Add();
  steps_.OnBroken();  // closes the steps unless their tick did
  return Action::kClose;
}

// The close_notify before the connection ends, unless it went with the
// last answer, sent at once: the answers have gone, so the socket takes
// these few bytes. Without it a client would take the end for a cut and
// not resume the session.
void Connection::TlsCloseNotify() {
  if (closing_ || !tls_->established() || sender_.busy() ||
      !tls_->cipher_out().empty())
    return;
  tls_->Shutdown();  // nothing new when it went with the last answer
  if (tls_->cipher_out().empty()) return;
  SendOnce(fd_, tls_->cipher_out());
  tls_->CipherSent(tls_->cipher_out().size());
}

Action Connection::TlsSend() {
  if (!tls_->established()) return steps_.OnBroken();
  if (sender_.busy()) {
    tls_send_wanted_ = true;  // after the session's own bytes
    return Action::kNone;
  }
  const std::string_view unsent = steps_.unsent();
  const std::string_view batch = unsent.substr(0, kTlsSendBatchBytes);
  if (!tls_->Write(batch)) return steps_.OnBroken();
  // The close_notify goes in the same send as the last answer, so the
  // client has all of it at once rather than a loop turn apart.
  if (batch.size() == unsent.size() && steps_.ends_after_send())
    tls_->Shutdown();
  tls_plain_in_flight_ = batch.size();
  loop_.Send(sender_, fd_, tls_->cipher_out(), {});
  return Action::kNone;
}

void Connection::TlsTake(const IoResult& result) {
  if (result.value > 0) {
    thread_.traffic().bytes_received.Add(static_cast<uint64_t>(result.value));
    tls_->Feed(result.lent, static_cast<size_t>(result.value));
  } else if (result.value == 0) {
    tls_->FeedEnd();
  }
}

// A handshake cut by the socket (a reset, say) is a failure too; a receive
// cancelled by the close is not news.
Action Connection::TlsBroken() {
  if (!closing_ && !tls_->established()) {
    thread_.tls()
        .counters.failed[static_cast<size_t>(TlsFailure::kOther)]
        .Add();
  }
  return steps_.OnBroken();
}

void Connection::TlsOnReceived(const IoResult& result) {
  if (result.value < 0) return Do(TlsBroken());
  if (steps_.step() == Step::kLingering) {  // dropped unread
    return Do(steps_.OnReceived(result.lent, static_cast<size_t>(result.value),
                                thread_.now()));
  }
  TlsTake(result);
  Do(Action::kReceive);
}

void Connection::TlsOnSent(const IoResult& result) {
  if (result.value < 0) {
    tls_plain_in_flight_ = 0;
    return Do(TlsBroken());
  }
  thread_.traffic().bytes_sent.Add(static_cast<uint64_t>(result.value));
  tls_->CipherSent(static_cast<size_t>(result.value));
  if (!tls_->cipher_out().empty())
    return loop_.Send(sender_, fd_, tls_->cipher_out(), {});
  if (const size_t sent = std::exchange(tls_plain_in_flight_, 0))
    return Do(steps_.OnSent(sent, thread_.now()));
  if (std::exchange(tls_send_wanted_, false)) Do(Action::kSend);
}

std::string_view Connection::TlsLogFields() {
  if (tls_log_fields_.empty() && tls_->established()) {
    tls_log_fields_.append(tls_->version()).append(" ").append(tls_->cipher());
  }
  return tls_log_fields_;
}

// ---- on the call's fiber ----

size_t Connection::TlsReadBody(void* buffer, size_t size) {
  for (;;) {
    size_t got = 0;
    switch (tls_->Read(buffer, size, got)) {
      case Status::kDone:
        steps_.CallProgressed(got, thread_.now());
        return got;
      case Status::kWant:
        break;
      case Status::kClosed:
      case Status::kFailed:
        return 0;
    }
    if (CallCutOff()) return 0;
    FlushTls();
    loop_.ReceiveLent(receiver_, fd_, false);
    if (Park(receiver_, CallWait::kBody) < 0) return 0;  // fed by OnComplete
  }
}

bool Connection::TlsSendThrough(std::string& pending, const void* data,
                                size_t size) {
  std::string_view body(static_cast<const char*>(data), size);
  bool ok = TlsSendAll() && tls_->Write(pending);
  pending.clear();
  while (ok) {
    const std::string_view batch = body.substr(0, kTlsSendBatchBytes);
    body.remove_prefix(batch.size());
    ok = tls_->Write(batch) && TlsSendAll();
    if (body.empty()) break;
  }
  return ok;
}

bool Connection::TlsSendAll() {
  for (;;) {
    if (!sender_.busy()) {
      if (tls_->cipher_out().empty()) return true;
      if (CallCutOff()) return false;
      loop_.Send(sender_, fd_, tls_->cipher_out(), {});
    }
    const int sent = Park(sender_, CallWait::kSend);
    if (sent <= 0) return false;
    const size_t moved = static_cast<size_t>(sent);
    thread_.traffic().bytes_sent.Add(moved);
    tls_->CipherSent(moved);
    steps_.CallProgressed(moved, thread_.now());
  }
}

}  // namespace pendrakel::server
