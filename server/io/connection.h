// Connection: one client connection of the host, from accept to close: its
// socket, the ConnectionSteps that say what to do next, and the means to do
// it on its I/O thread's EventLoop: one operation slot for receiving, one
// for sending, one for closing; the module call (ExtensionCall) and the
// fiber it runs on (RequestFiber).
//
// Do carries out each action the steps answer. Every completion goes back
// to the steps, but those of the module call's own waits: a ReadClient that
// needs body bytes not in hand receives straight into the module's buffer,
// and a WriteClient of a large body sends straight from the module's
// memory; either parks the fiber until its operation completes, and the
// thread serves other connections meanwhile. Nothing waiting for a slow
// client is copied. A deadline, or a forced shutdown, cancels the parked
// operation; the fiber resumes only with its completion, so the kernel
// never touches the module's memory after the call has returned.
//
// Bytes cross between the socket and the steps in three places only:
// OnComplete (a receive), Send (what the steps or the call send) and
// ReadBody (a receive into the module's buffer). A connection of the TLS
// port has a TlsSession that sits in those three, between the loop's
// operations and the steps (connection_tls.cc).
//
// Owned by its IoThread, which destroys it, or keeps it for a later
// connection (Reuse), once it has closed and no operation is under way
// (Retire). Everything runs on that thread, the fiber included.
#ifndef PENDRAKEL_SERVER_IO_CONNECTION_H_
#define PENDRAKEL_SERVER_IO_CONNECTION_H_

#include <chrono>
#include <memory>
#include <string>

#include "server/http/http_error.h"
#include "server/io/client_channel.h"
#include "server/io/connection_slots.h"
#include "server/io/connection_steps.h"
#include "server/io/event_loop.h"
#include "server/io/extension_call.h"
#include "server/io/fiber.h"
#include "server/tls/tls_session.h"

namespace pendrakel::server {

class IoThread;

class Connection final : public IoOwner,
                         public ClientChannel,
                         public AnswerSink {
 public:
  using Clock = std::chrono::steady_clock;

  // Takes over `fd`, accepted on `thread` and watched by its loop; `tls`:
  // on the TLS port, with the thread's context of now.
  Connection(IoThread& thread, int fd, ConnectionSlot slot, bool tls);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  void Start();
  // Takes over `fd` as a new connection (`tls` as for the constructor),
  // keeping this one's buffers; Start follows. REQUIRES: retired (closed,
  // nothing under way, no call).
  void Reuse(int fd, ConnectionSlot slot, bool tls);
  // The earliest time at which OnTick may change anything.
  Clock::time_point wake_at() const { return steps_.wake_at(); }
  void OnTick(Clock::time_point now);
  // See IoThread::PostShutdown.
  void OnShutdown(bool force);

 private:
  friend class IoThread;  // the intrusive list

  // IoOwner
  void OnComplete(IoOp& op, const IoResult& result) override;
  // AnswerSink: the traffic counters and the access log.
  void OnAnswer(const AnswerRecord& answer) override;
  // ClientChannel, on the fiber.
  size_t ReadBody(void* buffer, size_t size) override;
  HttpError ReadFailure() const override { return read_failure_; }
  bool SendThrough(std::string& pending, const void* data,
                   size_t size) override;

  // Runs `event`; a std::bad_alloc from it closes this connection. Then
  // retires the connection when it is done.
  template <typename Event>
  void Guarded(Event event) noexcept;
  void Complete(IoOp& op, const IoResult& result);
  void Do(Action action);
  Action RunCall();
  Action FinishCall();
  // On the fiber: waits for `op`'s operation, just started; its result.
  int Park(IoOp& op, CallWait wait);
  // The call's client calls must fail now.
  bool CallCutOff() const;
  void Close();
  void RetireWhenDone();

  // TLS (connection_tls.cc), used only when tls_ is set.
  void StartTls();
  static size_t SendFlight(void* connection, std::string_view cipher);
  Action TlsReceive();
  bool TlsReceiveNow();
  Action AwaitCipher();
  void FlushTls();
  Action TlsRefused();
  Action TlsBroken();
  Action TlsSend();
  Action TlsTick(Action action);
  void TlsCloseNotify();
  // The access log's TLS fields: "TLSv1.3 TLS_AES_256_GCM_SHA384".
  std::string_view TlsLogFields();
  void TlsTake(const IoResult& result);
  void TlsOnReceived(const IoResult& result);
  void TlsOnSent(const IoResult& result);
  size_t TlsReadBody(void* buffer, size_t size);
  bool TlsSendThrough(std::string& pending, const void* data, size_t size);
  bool TlsSendAll();

  IoThread& thread_;
  EventLoop& loop_;
  int fd_;
  ConnectionSlot slot_;
  // The client's address, for the access log (empty when it is off).
  std::string peer_;
  ConnectionSteps steps_;
  ExtensionCall call_;
  CallOutcome outcome_;
  RequestFiber fiber_;
  IoOp receiver_{*this};
  IoOp sender_{*this};
  IoOp closer_{*this};
  // The parked call's operation and its result; when the call began.
  IoOp* call_op_ = nullptr;
  int call_result_ = 0;
  Clock::time_point call_started_;
  HttpError read_failure_ = HttpError::kNone;
  // The TLS port's session; null on the plain port. The plaintext of the
  // batch being sent for the steps, and a send the steps asked for while
  // the session's own bytes were going out.
  std::unique_ptr<TlsSession> tls_;
  size_t tls_plain_in_flight_ = 0;
  // The access log's TLS fields, made at the first logged answer.
  std::string tls_log_fields_;
  bool tls_send_wanted_ = false;
  bool closing_ = false;
  bool closed_ = false;
  bool retired_ = false;
  // The thread ended with the connection open (see the destructor).
  bool abandoned_ = false;
  // IoThread's list.
  Connection* prev_ = nullptr;
  Connection* next_ = nullptr;
};

}  // namespace pendrakel::server

#endif  // PENDRAKEL_SERVER_IO_CONNECTION_H_
