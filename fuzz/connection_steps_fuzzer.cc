// Fuzzes the life of client connections without sockets: two connections
// sharing one host state (so that one's upload can make the other wait for
// room) are driven through ConnectionSteps by a script of events: bytes
// arriving in any split, sends completing in part, a module call that reads
// its body, writes and waits for its client, the clock jumping, the client
// closing, the host shutting down.
//
// What must hold, whatever the script:
// - every action fits the step it leaves the connection in, and the
//   connection asks only for what its Connection can do then (a send with
//   bytes to send, a call cut short only while it waits for its client);
// - every call is answered exactly once;
// - a connection whose client goes silent closes by its time-outs alone,
//   and every connection closes once the host stops by force;
// - once both are closed, no upload holds any of the budget.
//
// Input: byte 0 picks the limits; then one byte per event (its low bit the
// connection), each followed by what the event needs.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "fuzz/fuzz_check.h"
#include "fuzz/input_reader.h"
#include "server/io/connection_steps.h"

namespace pendrakel::fuzz {
namespace {

using server::Action;
using server::AnswerRecord;
using server::CallOutcome;
using server::CallWait;
using server::ConnectionSteps;
using server::HostOptions;
using server::ServerState;
using server::Step;
using Time = ConnectionSteps::Time;
using std::chrono::milliseconds;
using std::chrono::seconds;

// Events per input, and per settling of one connection; bound the work.
constexpr int kMaxEvents = 400;
constexpr int kMaxSettleEvents = 2000;

HostOptions OptionsFrom(uint8_t choice) {
  HostOptions options;
  options.max_head_bytes = (choice & 1) ? 1024 : 16 * 1024;
  options.max_body_bytes = (choice & 2) ? 64 : 1 << 20;
  options.preload_bytes = (choice & 4) ? 4 : 48 * 1024;
  options.drain_limit_bytes = (choice & 8) ? 16 : 1 << 20;
  options.max_upload_bytes = (choice & 16) ? 24 : 1 << 30;
  options.min_upload_rate = (choice & 32) ? 0 : 1024;
  options.min_upload_average = (choice & 64) ? 0 : 16 * 1024;
  options.read_timeout = seconds(30);
  options.write_timeout = seconds(30);
  options.head_timeout = seconds(20);
  options.idle_timeout = seconds(60);
  options.max_connections = 4;
  return options;
}

// A request the client may send: mostly well-formed, in the shapes whose
// handling differs (a declared or chunked body, 100-continue, a close, an
// old version), sometimes raw bytes.
std::string MakeRequest(InputReader& in) {
  const uint8_t shape = in.Byte();
  if ((shape & 7) == 7) return in.Text(64);
  const size_t body = in.Byte() % 48;
  std::string request =
      (shape & 1) ? "PUT /v HTTP/1.1\r\n" : "GET /v HTTP/1.1\r\n";
  if (shape & 64) request.replace(request.size() - 3, 1, "0");  // HTTP/1.0
  request += "Host: h\r\n";
  if (shape & 8) request += "Connection: close\r\n";
  if (shape & 16) request += "Expect: 100-continue\r\n";
  if (shape & 32) {
    request += "Transfer-Encoding: chunked\r\n\r\n";
    if (body > 0) {
      char size[8];
      std::snprintf(size, sizeof size, "%zx\r\n", body);
      request += size + std::string(body, 'c') + "\r\n";
    }
    return request + "0\r\n\r\n";
  }
  if ((shape & 1) || body > 0) {
    request += "Content-Length: " + std::to_string(body) + "\r\n";
  }
  return request + "\r\n" + std::string(body, 'b');
}

// One connection and its side of the script: the client's bytes not yet
// received, what is under way, and the module call in progress.
struct Client final : server::AnswerSink {
  Client(ServerState& state, const Time& clock)
      : steps(state, *this), now(clock) {}

  void OnAnswer(const AnswerRecord& answer) override {
    if (!answer.refused) ++answers;
    Check(answer.status >= 100 && answer.status <= 599,
          "an answer without a status");
  }

  ConnectionSteps steps;
  const Time& now;     // the script's clock
  std::string stream;  // what the client has sent and the host not received
  bool receiving = false;
  bool sending = false;
  bool in_call = false;
  CallWait call_wait = CallWait::kNone;
  std::string call_sending;  // what the call sends through itself
  bool call_failed = false;  // a wait of the call ended without its bytes
  int calls = 0;
  int answers = 0;  // to calls: refusals are the host's own
};

// Checks `action` against the step it leaves and notes what is under way
// (a receive, a send, a call).
void Take(Client& c, Action action) {
  const Step step = c.steps.step();
  switch (action) {
    case Action::kNone:
      return;
    case Action::kReceive:
      Check(step == Step::kReadingHead || step == Step::kReadingBody ||
                step == Step::kDraining || step == Step::kLingering,
            "a receive asked for outside the reading steps");
      c.receiving = true;
      return;
    case Action::kLinger:
      Check(step == Step::kLingering, "a linger outside kLingering");
      c.sending = false;
      c.receiving = true;
      return;
    case Action::kSend:
      Check(step == Step::kSending, "a send outside kSending");
      Check(!c.steps.unsent().empty(), "a send with nothing to send");
      c.sending = true;
      return;
    case Action::kCall:
      Check(step == Step::kInCall && !c.in_call, "a call outside kInCall");
      c.in_call = true;
      c.call_failed = false;
      ++c.calls;
      return;
    case Action::kCancelCall:
      Check(step == Step::kInCall && c.call_wait != CallWait::kNone,
            "a call cut short that does not wait for its client");
      // The wait under way is cancelled: it ends at once, without bytes.
      c.steps.CallWaits(CallWait::kNone, c.now);
      c.call_wait = CallWait::kNone;
      c.call_failed = true;
      return;
    case Action::kClose:
      Check(step == Step::kClosed && !c.in_call,
            "a close that leaves the steps open, or in a call");
      c.receiving = c.sending = false;
      return;
  }
}

// The module call returns: what it wrote is its answer.
void EndCall(Client& c, Time now, bool must_close) {
  c.steps.CallWaits(CallWait::kNone, now);
  c.call_wait = CallWait::kNone;
  c.in_call = false;
  c.call_sending.clear();
  if (c.steps.output().empty())
    c.steps.output() += "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
  CallOutcome outcome;
  outcome.status = 200;
  outcome.must_close = must_close || c.call_failed;
  const int before = c.answers;
  Take(c, c.steps.OnCallReturned(outcome, std::chrono::nanoseconds(0), now));
  Check(c.answers == before + 1, "a call answered other than once");
}

// One step of the running call: read body bytes in hand, wait for more,
// write and send through, or return.
void StepCall(Client& c, InputReader& in, Time now) {
  if (c.call_wait != CallWait::kNone) return;  // waits for its client
  const uint8_t what = in.Byte() % 4;
  server::RequestIntake& intake = c.steps.intake();
  if (what == 0 && intake.unread_bytes() > 0 && !c.call_failed) {
    char buffer[16];
    const size_t want =
        std::min<uint64_t>(sizeof buffer, intake.unread_bytes());
    const size_t got = c.steps.TakeHeldBody(buffer, want, now);
    intake.TakeBody(got);
    if (got == 0 && !c.steps.call_timed_out() && !c.steps.call_aborted()) {
      c.call_wait = CallWait::kBody;
      c.steps.CallWaits(CallWait::kBody, now);
    }
  } else if (what == 1 && !c.call_failed && !c.steps.call_aborted()) {
    c.steps.output() += "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
    c.call_sending.swap(c.steps.output());
    c.call_wait = CallWait::kSend;
    c.steps.CallWaits(CallWait::kSend, now);
  } else {
    EndCall(c, now, (what & 1) != 0);
  }
}

// The client's next bytes reach the host (or its close, when it has sent
// everything); while the call waits for its body, they go to the call.
void Receive(Client& c, InputReader& in, Time now) {
  const size_t piece = 1 + in.Byte() % 32;
  if (c.in_call && c.call_wait == CallWait::kBody) {
    server::RequestIntake& intake = c.steps.intake();
    const size_t got =
        std::min<uint64_t>({piece, c.stream.size(), intake.unread_bytes()});
    c.steps.CallWaits(CallWait::kNone, now);
    c.call_wait = CallWait::kNone;
    if (got == 0) {
      c.call_failed = true;  // the client closed: the read fails
      return;
    }
    c.stream.erase(0, got);
    intake.TakeBody(got);
    c.steps.CallProgressed(got, now);
    return;
  }
  if (!c.receiving) return;
  c.receiving = false;
  const size_t got = std::min(piece, c.stream.size());
  const std::string bytes = c.stream.substr(0, got);
  c.stream.erase(0, got);
  Take(c, c.steps.OnReceived(bytes.data(), got, now));
}

// Some of what is being sent goes out.
void Sent(Client& c, InputReader& in, Time now) {
  if (c.in_call && c.call_wait == CallWait::kSend) {
    const size_t moved =
        std::min<size_t>(1 + in.Byte() % 64, c.call_sending.size());
    c.call_sending.erase(0, moved);
    c.steps.CallProgressed(moved, now);
    if (c.call_sending.empty()) {
      c.steps.CallWaits(CallWait::kNone, now);
      c.call_wait = CallWait::kNone;
    }
    return;
  }
  if (!c.sending) return;
  c.sending = false;
  const size_t unsent = c.steps.unsent().size();
  Take(c, c.steps.OnSent(std::min<size_t>(1 + in.Byte() % 64, unsent), now));
}

void Tick(Client& c, Time now) { Take(c, c.steps.OnTick(now)); }

// Drives `c` with the client silent (nothing more received, nothing sent)
// and the clock going from one deadline to the next; the call, when one
// runs, returns. The connection must close.
void CloseBySilence(Client& c, Time& now) {
  for (int i = 0; i < kMaxSettleEvents; ++i) {
    if (c.steps.step() == Step::kClosed) return;
    if (c.in_call && c.call_wait == CallWait::kNone) {
      EndCall(c, now, false);
      continue;
    }
    // Nothing may change before the time the steps ask to be woken at:
    // the loop's timer goes by it.
    const Time wake = c.steps.wake_at();
    if (wake > now && wake != Time::max()) {
      Check(c.steps.OnTick(wake - std::chrono::nanoseconds(1)) == Action::kNone,
            "a tick before wake_at() changed something");
      now = wake;
    } else {
      now += seconds(3600);
    }
    Tick(c, now);
  }
  Fail("a silent client's connection never closed");
}

// The host stops by force: everything under way fails or completes, and the
// connection must close.
void CloseByShutdown(Client& c, Time& now) {
  for (int i = 0; i < kMaxSettleEvents; ++i) {
    if (c.steps.step() == Step::kClosed) return;
    Take(c, c.steps.OnShutdown(true));
    if (c.in_call) {
      c.call_failed = c.call_wait != CallWait::kNone || c.call_failed;
      EndCall(c, now, false);
    } else if (c.sending) {
      c.sending = false;
      Take(c, c.steps.OnBroken());
    } else if (c.receiving) {
      c.receiving = false;
      Take(c, c.steps.OnReceived(nullptr, 0, now));
    }
    now += milliseconds(200);
    Tick(c, now);
  }
  Fail("a connection stayed open after the host stopped by force");
}

void Run(InputReader& in) {
  const HostOptions options = OptionsFrom(in.Byte());
  ServerState state(options, nullptr);
  Time now = Time() + seconds(1000);
  std::array<Client, 2> clients{Client(state, now), Client(state, now)};
  for (Client& c : clients) Take(c, c.steps.Start(now));
  const bool by_shutdown = (in.Byte() & 1) != 0;
  for (int events = 0; events < kMaxEvents && !in.empty(); ++events) {
    const uint8_t event = in.Byte();
    Client& c = clients[event & 1];
    switch ((event >> 1) % 8) {
      case 0:
        c.stream += MakeRequest(in);
        break;
      case 1:
      case 2:
        Receive(c, in, now);
        break;
      case 3:
        Sent(c, in, now);
        break;
      case 4:
        if (c.in_call) StepCall(c, in, now);
        break;
      case 5:
        now += milliseconds(in.Byte() * 250);
        for (Client& each : clients) Tick(each, now);
        break;
      case 6:
        if (c.in_call) break;  // the call's own receive fails instead
        if (c.receiving) {
          c.receiving = false;
          Take(c, c.steps.OnReceived(nullptr, 0, now));
        } else if (c.sending) {
          c.sending = false;
          Take(c, c.steps.OnBroken());
        }
        break;
      case 7:
        if (c.steps.step() != Step::kClosed) break;
        Check(c.answers == c.calls, "a call without an answer, or with two");
        c.steps.Reuse();
        c.stream.clear();
        Take(c, c.steps.Start(now));
        break;
    }
  }
  if (by_shutdown) {
    state.stopping.store(true);
    for (Client& c : clients) Take(c, c.steps.OnShutdown(false));
    state.aborting.store(true);
    for (Client& c : clients) CloseByShutdown(c, now);
  } else {
    for (Client& c : clients) CloseBySilence(c, now);
  }
  for (const Client& c : clients)
    Check(c.answers == c.calls, "a call without an answer, or with two");
  Check(state.uploads.bytes() == 0 && state.uploads.uploads() == 0,
        "closed connections still hold upload budget");
}

}  // namespace
}  // namespace pendrakel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  pendrakel::fuzz::InputReader in(data, size);
  pendrakel::fuzz::Run(in);
  return 0;
}
