// Fuzzes client connections without sockets: two connections sharing one
// host state (one's upload can make the other wait for room) are driven
// through ConnectionSteps by a script of events: bytes in any split, partial
// sends, a module call that reads its body, sends through and waits, clock
// jumps, the client closing, the host shutting down. The steps check their
// own changes of step (in this sanitizer build); the script then checks
// what a host relies on: each call is answered once, a silent client is
// closed by its deadlines alone and never before wake_at(), a forced
// shutdown closes everything, and closed connections hold no upload budget.
//
// Input: byte 0 picks the limits, byte 1 how the script ends; then one byte
// per event (its low bit the connection), each followed by what it needs.
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
using server::CallWait;
using server::ConnectionSteps;
using server::Step;
using Time = ConnectionSteps::Time;
using std::chrono::milliseconds;
using std::chrono::seconds;

// Events per input, and per settling of one connection; bound the work.
constexpr int kMaxEvents = 400;
constexpr int kMaxSettleEvents = 2000;
constexpr char kAnswer[] = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";

// The limits the scripts' small requests can reach.
server::HostOptions OptionsFrom(uint8_t choice) {
  server::HostOptions options;
  options.max_head_bytes = 16 * 1024;
  options.max_body_bytes = 1 << 20;
  options.preload_bytes = (choice & 1) ? 4 : 48 * 1024;
  options.drain_limit_bytes = (choice & 2) ? 16 : 1 << 20;
  options.max_upload_bytes = (choice & 4) ? 24 : 1 << 30;
  options.min_upload_rate = (choice & 8) ? 0 : 1024;
  options.min_upload_average = (choice & 16) ? 0 : 16 * 1024;
  options.read_timeout = options.write_timeout = seconds(30);
  options.head_timeout = seconds(20);
  options.idle_timeout = seconds(60);
  options.max_connections = 4;
  return options;
}

// Mostly well-formed requests, in the shapes handled differently (a
// declared or chunked body, 100-continue, a close, HTTP/1.0), else raw bytes.
std::string MakeRequest(InputReader& in) {
  const uint8_t shape = in.Byte();
  if ((shape & 7) == 7) return in.Text(64);
  const size_t body = in.Byte() % 48;
  std::string request = (shape & 1) ? "PUT" : "GET";
  request += (shape & 64) ? " /v HTTP/1.0\r\nHost: h\r\n"
                          : " /v HTTP/1.1\r\nHost: h\r\n";
  if (shape & 8) request += "Connection: close\r\n";
  if (shape & 16) request += "Expect: 100-continue\r\n";
  if (shape & 32) {
    char size[16];
    std::snprintf(size, sizeof size, "%zx\r\n", body);
    request += "Transfer-Encoding: chunked\r\n\r\n";
    if (body > 0) request += size + std::string(body, 'c') + "\r\n";
    return request + "0\r\n\r\n";
  }
  if ((shape & 1) || body > 0)
    request += "Content-Length: " + std::to_string(body) + "\r\n";
  return request + "\r\n" + std::string(body, 'b');
}

// One connection and the client's side of it: bytes sent and not yet
// received, what is under way, and the module call in progress.
struct Client final : server::AnswerSink {
  Client(server::ServerState& state, const Time& clock)
      : steps(state, *this), now(clock) {}

  void OnAnswer(const server::AnswerRecord& answer) override {
    if (!answer.refused) ++answers;  // refusals are the host's own
  }

  // The call waits for its client (kNone: no longer).
  void Wait(CallWait what) {
    steps.CallWaits(what, now);
    wait = what;
  }

  // Notes what `action` puts under way.
  void Take(Action action) {
    switch (action) {
      case Action::kReceive:
        receiving = true;
        break;
      case Action::kLinger:
        receiving = true, sending = false;
        break;
      case Action::kSend:
        sending = true;
        break;
      case Action::kCall:
        in_call = true, failed = false, ++calls;
        break;
      case Action::kCancelCall:
        Wait(CallWait::kNone), failed = true;
        break;
      case Action::kClose:
        receiving = sending = false;
        break;
      case Action::kNone:
        break;
    }
  }

  ConnectionSteps steps;
  const Time& now;  // the script's clock
  std::string stream;
  bool receiving = false;
  bool sending = false;
  bool in_call = false;
  CallWait wait = CallWait::kNone;
  size_t call_unsent = 0;  // what the call sends through itself
  bool failed = false;     // a wait of the call ended without its bytes
  int calls = 0;
  int answers = 0;
};

// The client closes, or its socket fails, where a receive or a send is
// under way.
void ClientGone(Client& c) {
  if (std::exchange(c.receiving, false)) {
    c.Take(c.steps.OnReceived(nullptr, 0, c.now));
  } else if (std::exchange(c.sending, false)) {
    c.Take(c.steps.OnBroken());
  }
}

void EndCall(Client& c, bool must_close) {
  c.Wait(CallWait::kNone);
  c.in_call = false;
  if (c.steps.output().empty()) c.steps.output() += kAnswer;
  server::CallOutcome outcome;
  outcome.status = 200;
  outcome.must_close = must_close || c.failed;
  const int before = c.answers;
  c.Take(c.steps.OnCallReturned(outcome, std::chrono::nanoseconds(0), c.now));
  Check(c.answers == before + 1, "a call answered other than once");
}

// The running call reads body bytes in hand (or waits for more), sends an
// answer through itself, or returns.
void StepCall(Client& c, InputReader& in) {
  if (c.wait != CallWait::kNone) return;
  const uint8_t what = in.Byte() % 4;
  server::RequestIntake& intake = c.steps.intake();
  const bool can_wait =
      !c.failed && !c.steps.call_timed_out() && !c.steps.call_aborted();
  if (what == 0 && intake.unread_bytes() > 0 && can_wait) {
    char buffer[16];
    const size_t got = c.steps.TakeHeldBody(
        buffer, std::min<uint64_t>(sizeof buffer, intake.unread_bytes()),
        c.now);
    intake.TakeBody(got);
    if (got == 0) c.Wait(CallWait::kBody);
  } else if (what == 1 && can_wait) {
    c.steps.output() += kAnswer;
    c.call_unsent = c.steps.output().size();
    c.steps.output().clear();
    c.Wait(CallWait::kSend);
  } else {
    EndCall(c, (what & 1) != 0);
  }
}

// The client's next bytes arrive (nothing left: it closes), to the call when
// it waits for its body.
void Receive(Client& c, InputReader& in) {
  const size_t piece = 1 + in.Byte() % 32;
  if (c.in_call && c.wait == CallWait::kBody) {
    const size_t got = std::min<uint64_t>(
        {piece, c.stream.size(), c.steps.intake().unread_bytes()});
    c.Wait(CallWait::kNone);
    c.failed = got == 0;
    c.stream.erase(0, got);
    c.steps.intake().TakeBody(got);
    if (got > 0) c.steps.CallProgressed(got, c.now);
  } else if (std::exchange(c.receiving, false)) {
    const std::string bytes = c.stream.substr(0, piece);
    c.stream.erase(0, bytes.size());
    c.Take(c.steps.OnReceived(bytes.data(), bytes.size(), c.now));
  }
}

// Some of what is being sent goes out.
void Sent(Client& c, InputReader& in) {
  const size_t piece = 1 + in.Byte() % 64;
  if (c.in_call && c.wait == CallWait::kSend) {
    const size_t moved = std::min(piece, c.call_unsent);
    c.call_unsent -= moved;
    c.steps.CallProgressed(moved, c.now);
    if (c.call_unsent == 0) c.Wait(CallWait::kNone);
  } else if (std::exchange(c.sending, false)) {
    c.Take(c.steps.OnSent(std::min(piece, c.steps.unsent().size()), c.now));
  }
}

// The client goes silent; the clock goes from one deadline to the next, and
// nothing may change before the one the loop's timer would wake it at.
void CloseBySilence(Client& c, Time& now) {
  for (int i = 0; i < kMaxSettleEvents; ++i) {
    if (c.steps.step() == Step::kClosed) return;
    if (c.in_call && c.wait == CallWait::kNone) {
      EndCall(c, false);
      continue;
    }
    const Time wake = c.steps.wake_at();
    if (wake > now && wake != Time::max()) {
      Check(c.steps.OnTick(wake - std::chrono::nanoseconds(1)) == Action::kNone,
            "a tick before wake_at() changed something");
      now = wake;
    } else {
      now += seconds(3600);
    }
    c.Take(c.steps.OnTick(now));
  }
  Fail("a silent client's connection never closed");
}

// The host stops by force: everything under way fails or completes.
void CloseByShutdown(Client& c, Time& now) {
  for (int i = 0; i < kMaxSettleEvents; ++i) {
    if (c.steps.step() == Step::kClosed) return;
    c.Take(c.steps.OnShutdown(true));
    if (c.in_call) {
      c.failed = c.failed || c.wait != CallWait::kNone;
      EndCall(c, false);
    } else {
      ClientGone(c);
    }
    now += milliseconds(200);
    c.Take(c.steps.OnTick(now));
  }
  Fail("a connection stayed open after the host stopped by force");
}

void Run(InputReader& in) {
  const server::HostOptions options = OptionsFrom(in.Byte());
  server::ServerState state(options, nullptr);
  Time now = Time() + seconds(1000);
  std::array<Client, 2> clients{Client(state, now), Client(state, now)};
  for (Client& c : clients) c.Take(c.steps.Start(now));
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
        Receive(c, in);
        break;
      case 3:
        Sent(c, in);
        break;
      case 4:
        if (c.in_call) StepCall(c, in);
        break;
      case 5:
        now += milliseconds(in.Byte() * 250);
        for (Client& each : clients) each.Take(each.steps.OnTick(now));
        break;
      case 6:  // (in a call, its own reads see the close instead)
        if (!c.in_call) ClientGone(c);
        break;
      case 7:
        if (c.steps.step() != Step::kClosed) break;
        c.steps.Reuse();
        c.stream.clear();
        c.Take(c.steps.Start(now));
        break;
    }
  }
  if (by_shutdown) {
    state.stopping.store(true);
    for (Client& c : clients) c.Take(c.steps.OnShutdown(false));
    state.aborting.store(true);
    for (Client& c : clients) CloseByShutdown(c, now);
  } else {
    for (Client& c : clients) CloseBySilence(c, now);
  }
  for (const Client& c : clients)
    Check(c.answers == c.calls, "a call without an answer");
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
