// The connection's steps without a socket: requests fed whole and one byte
// at a time must give the same answers in the same order, and each ending
// (keep, drain, linger, close), time-out and shutdown must lead where the
// host promises.
#include "server/io/connection_steps.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/limits.h"

namespace pendrakel::server {
namespace {

using std::chrono::seconds;
using Time = ConnectionSteps::Time;

HostOptions TestOptions() {
  HostOptions options;
  options.max_head_bytes = kDefaultMaxHeadBytes;
  options.max_body_bytes = 1 << 20;
  options.preload_bytes = 8;
  options.read_timeout = seconds(2);
  options.write_timeout = seconds(3);
  options.head_timeout = seconds(4);
  options.idle_timeout = seconds(5);
  options.drain_limit_bytes = 100;
  options.max_upload_bytes = 50;
  options.min_upload_rate = 1;
  return options;
}

std::string Get(const std::string& path, const std::string& headers = "") {
  return "GET " + path + " HTTP/1.1\r\nHost: h\r\n" + headers + "\r\n";
}

std::string Put(const std::string& path, const std::string& body) {
  return "PUT " + path + " HTTP/1.1\r\nHost: h\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

// A connection driven to completion of its input: the fake module answers
// "<path>;" and leaves any body past the preload unread.
struct Harness final : AnswerSink {
  void OnAnswer(const AnswerRecord& answer) override {
    statuses.push_back(answer.status);
  }

  // Feeds `input` in pieces of `piece` bytes (then the client's close when
  // `close_at_end`), carrying out every action; stops when the steps wait
  // for what the input does not bring.
  Action Drive(std::string_view input, size_t piece, bool close_at_end = true) {
    Action action = started ? Action::kReceive : steps.Start(now);
    started = true;
    for (int guard = 0; guard < 100000; ++guard) {
      switch (action) {
        case Action::kLinger:
          lingered = true;
          [[fallthrough]];
        case Action::kReceive:
          if (input.empty()) {
            if (!close_at_end) return action;
            action = steps.OnReceived(nullptr, 0, now);
            close_at_end = false;
            continue;
          }
          action = steps.OnReceived(input.data(), std::min(piece, input.size()),
                                    now);
          input.remove_prefix(std::min(piece, input.size()));
          continue;
        case Action::kCall:
          action = Call();
          continue;
        case Action::kSend:
          sent += steps.unsent();
          ++sends;
          action = steps.OnSent(steps.unsent().size(), now);
          continue;
        case Action::kClose:
          closed = true;
          return action;
        default:
          return action;
      }
    }
    ADD_FAILURE() << "the steps never settled";
    return Action::kNone;
  }

  // Starts a call of a PUT whose body is not all in hand, waiting for it.
  void CallWaitingForBody() {
    steps.Start(now);
    const std::string put = Put("/p", std::string(20, 'p'));
    ASSERT_EQ(steps.OnReceived(put.data(), put.size() - 5, now), Action::kCall);
    steps.CallWaits(CallWait::kBody, now);
  }

  Action Call() {
    steps.output() += std::string(steps.intake().head().path_view()) + ";";
    CallOutcome outcome;
    outcome.status = 200;
    outcome.must_close = must_close;
    return steps.OnCallReturned(outcome, std::chrono::nanoseconds(0), now);
  }

  HostOptions options = TestOptions();
  ServerState state{options, nullptr};
  ConnectionSteps steps{state, *this};
  Time now = Time() + seconds(1000);
  bool started = false;
  bool must_close = false;
  std::string sent;
  int sends = 0;
  bool lingered = false;
  bool closed = false;
  std::vector<int> statuses;
};

// What every split of `input` must agree on.
std::string Outcome(const std::string& input, size_t piece) {
  Harness h;
  h.Drive(input, piece);
  std::string text = h.sent;
  text += h.lingered ? "|lingered" : "";
  text += h.closed ? "|closed" : "";
  return text;
}

TEST(ConnectionSteps, AnySplitGivesTheSameAnswersInOrder) {
  const std::string inputs[] = {
      Get("/a") + Put("/b", "0123456789xyz") + Get("/c"),
      Put("/d", std::string(60, 'd')) + Get("/e"),  // drained: within limit
      "POST /f HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n"
      "3\r\nabc\r\n0\r\n\r\n" +
          Get("/g"),
      Get("/h") + "BAD\r\n\r\n" + Get("/never"),
      // Refused as soon as the unread body before it is dropped.
      Put("/i", std::string(20, 'i')) + "BAD\r\n\r\n",
  };
  for (const std::string& input : inputs) {
    const std::string whole = Outcome(input, input.size());
    EXPECT_EQ(Outcome(input, 1), whole) << input;
    EXPECT_EQ(Outcome(input, 7), whole) << input;
  }
  EXPECT_EQ(Outcome(inputs[0], inputs[0].size()), "/a;/b;/c;|closed");
  EXPECT_EQ(Outcome(inputs[1], inputs[1].size()), "/d;/e;|closed");
  EXPECT_EQ(Outcome(inputs[3], inputs[3].size()).substr(0, 19),
            "/h;HTTP/1.1 400 Bad");
  EXPECT_EQ(Outcome(inputs[4], inputs[4].size()).substr(0, 19),
            "/i;HTTP/1.1 400 Bad");
}

TEST(ConnectionSteps, AnswersInHandLeaveInOneSendBeforeTheNextWait) {
  Harness h;
  std::string batch;
  for (int i = 0; i < 3; ++i) batch += Get("/" + std::to_string(i));
  EXPECT_EQ(h.Drive(batch, batch.size(), false), Action::kReceive);
  EXPECT_EQ(h.sends, 1);
  EXPECT_TRUE(h.steps.receive_after_answer());
  // Past kMaxPipelinedResponses they go out in batches.
  Harness many;
  std::string more;
  for (size_t i = 0; i < kMaxPipelinedResponses + 1; ++i) more += Get("/m");
  many.Drive(more, more.size(), false);
  EXPECT_EQ(many.sends, 2);
  EXPECT_EQ(many.statuses.size(), kMaxPipelinedResponses + 1);
}

TEST(ConnectionSteps, TheEndingFollowsWhatTheClientAndTheCallLeft) {
  // Asked for the close and sent nothing more: closed at once.
  Harness asked;
  asked.Drive(Get("/x", "Connection: close\r\n"), 1000, false);
  EXPECT_TRUE(asked.closed);
  EXPECT_FALSE(asked.lingered);
  // The same with bytes behind it, or too much body unread: lingered.
  Harness behind;
  behind.Drive(Get("/x", "Connection: close\r\n") + Get("/y"), 1000, false);
  EXPECT_TRUE(behind.lingered);
  EXPECT_EQ(behind.sent, "/x;");
  Harness unread;
  unread.Drive(Put("/big", std::string(500, 'u')) + Get("/lost"), 1000);
  EXPECT_TRUE(unread.lingered);
  EXPECT_EQ(unread.sent, "/big;");
  // The call could not leave the connection usable.
  Harness broken;
  broken.must_close = true;
  broken.Drive(Get("/x") + Get("/y"), 1000);
  EXPECT_EQ(broken.sent, "/x;");
  EXPECT_TRUE(broken.lingered);
}

TEST(ConnectionSteps, DeadlinesCloseOrRefuseByStep) {
  // The first head must come within the head time-out, the next within the
  // idle time-out; a head begun and not finished is answered 408.
  Harness idle;
  idle.Drive("", 1, false);
  EXPECT_EQ(idle.steps.OnTick(idle.now + seconds(3)), Action::kNone);
  EXPECT_EQ(idle.steps.OnTick(idle.now + seconds(4)), Action::kClose);
  Harness kept;
  kept.Drive(Get("/a"), 1000, false);
  EXPECT_EQ(kept.steps.OnTick(kept.now + seconds(4)), Action::kNone);
  EXPECT_EQ(kept.steps.OnTick(kept.now + seconds(5)), Action::kClose);
  Harness partial;
  partial.Drive("GET / HTTP/1.1\r\n", 1000, false);
  EXPECT_EQ(partial.steps.OnTick(partial.now + seconds(4)), Action::kSend);
  EXPECT_EQ(partial.steps.unsent().substr(0, 12), "HTTP/1.1 408");
  EXPECT_EQ(partial.statuses, std::vector<int>{408});
  // A body that stops coming is too slow after a read time-out window.
  Harness trickle;
  trickle.Drive("PUT / HTTP/1.1\r\nHost: h\r\nContent-Length: 5\r\n\r\nab",
                1000, false);
  EXPECT_EQ(trickle.steps.step(), Step::kReadingBody);
  EXPECT_EQ(trickle.steps.OnTick(trickle.now + seconds(1)), Action::kNone);
  EXPECT_EQ(trickle.steps.OnTick(trickle.now + seconds(2)), Action::kSend);
  // So is the unread rest of one the call left: drained at the same pace,
  // a trickle of it does not hold the connection.
  Harness drain;
  const std::string put = Put("/d", std::string(60, 'd'));
  drain.Drive(put.substr(0, put.size() - 40), 1000, false);
  ASSERT_EQ(drain.steps.step(), Step::kDraining);
  drain.now += std::chrono::milliseconds(1500);
  drain.Drive("d", 1, false);
  EXPECT_EQ(drain.steps.OnTick(drain.now + std::chrono::milliseconds(500)),
            Action::kClose);
  // A send that takes nothing for the write time-out closes.
  Harness stalled;
  Action action = stalled.steps.Start(stalled.now);
  const std::string get = Get("/s");
  action = stalled.steps.OnReceived(get.data(), get.size(), stalled.now);
  ASSERT_EQ(action, Action::kCall);
  ASSERT_EQ(stalled.Call(), Action::kSend);
  EXPECT_EQ(stalled.steps.OnSent(1, stalled.now + seconds(2)), Action::kSend);
  EXPECT_EQ(stalled.steps.OnTick(stalled.now + seconds(4)), Action::kNone);
  EXPECT_EQ(stalled.steps.OnTick(stalled.now + seconds(5)), Action::kClose);
}

TEST(ConnectionSteps, ACallWaitingTooLongIsCutShort) {
  Harness h;
  h.CallWaitingForBody();
  EXPECT_EQ(h.steps.OnTick(h.now + seconds(1)), Action::kNone);
  EXPECT_EQ(h.steps.OnTick(h.now + seconds(2)), Action::kCancelCall);
  EXPECT_TRUE(h.steps.call_timed_out());
  // Sending: the write time-out counts from the last progress.
  Harness s;
  s.steps.Start(s.now);
  const std::string get = Get("/g");
  ASSERT_EQ(s.steps.OnReceived(get.data(), get.size(), s.now), Action::kCall);
  s.steps.CallWaits(CallWait::kSend, s.now);
  s.steps.CallProgressed(10, s.now + seconds(2));
  EXPECT_EQ(s.steps.OnTick(s.now + seconds(4)), Action::kNone);
  EXPECT_EQ(s.steps.OnTick(s.now + seconds(5)), Action::kCancelCall);
}

TEST(ConnectionSteps, ContinueGoesOutBeforeTheBodyIsAwaited) {
  for (const size_t length : {size_t{5}, size_t{30}}) {  // preloaded or not
    Harness h;
    const std::string head =
        "PUT /c HTTP/1.1\r\nHost: h\r\nExpect: 100-continue\r\n"
        "Content-Length: " +
        std::to_string(length) + "\r\n\r\n";
    h.Drive(head, head.size(), false);
    EXPECT_EQ(h.sent.substr(0, 25), "HTTP/1.1 100 Continue\r\n\r\n") << length;
  }
}

TEST(ConnectionSteps, UploadsPastTheBudgetWaitForRoomThen503) {
  // Another upload holds 30 of the 50 bytes: this one's 40 must wait.
  const std::string big = Put("/a", std::string(40, 'a'));
  Harness h;
  UploadReservation other(h.state.uploads);
  ASSERT_TRUE(other.GrowTo(30));
  h.Drive(big.substr(0, big.size() - 20), 1000, false);
  EXPECT_EQ(h.steps.step(), Step::kWaitingForRoom);
  EXPECT_EQ(h.steps.OnTick(h.now + seconds(1)), Action::kNone);
  other.Release();
  EXPECT_EQ(h.steps.OnTick(h.now + seconds(1)), Action::kCall);
  EXPECT_EQ(h.state.uploads.bytes(), 40u);
  // Without room until the read time-out: 503.
  Harness late;
  UploadReservation holder(late.state.uploads);
  ASSERT_TRUE(holder.GrowTo(30));
  late.Drive(big.substr(0, big.size() - 20), 1000, false);
  EXPECT_EQ(late.steps.OnTick(late.now + seconds(2)), Action::kSend);
  EXPECT_EQ(late.statuses, std::vector<int>{503});
  // A chunked body that grows past the room waits too, reading no more.
  Harness chunked;
  UploadReservation third(chunked.state.uploads);
  ASSERT_TRUE(third.GrowTo(30));
  const std::string head =
      "PUT /k HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n";
  chunked.Drive(head + "28\r\n" + std::string(40, 'k') + "\r\n", 1000, false);
  EXPECT_EQ(chunked.steps.step(), Step::kWaitingForRoom);
  EXPECT_TRUE(chunked.statuses.empty());
  third.Release();
  EXPECT_EQ(chunked.steps.OnTick(chunked.now + seconds(1)), Action::kReceive);
  chunked.Drive("0\r\n\r\n", 1000, false);
  EXPECT_EQ(chunked.statuses, std::vector<int>{200});
}

TEST(ConnectionSteps, ReusedStepsServeLikeNewOnes) {
  // Closed in the middle of things: a refusal lingering, bytes held, an
  // answer unsent.
  Harness h;
  h.Drive(Put("/r", std::string(20, 'r')) + "GET /half", 1000, false);
  h.Drive("", 1, true);
  ASSERT_TRUE(h.closed);
  h.steps.Reuse();
  EXPECT_EQ(h.steps.step(), Step::kReadingHead);
  EXPECT_EQ(h.steps.unsent(), "");
  Harness fresh;
  const std::string input = Get("/a") + Put("/b", std::string(20, 'b'));
  h.started = false;
  h.sent.clear();
  h.Drive(input, 7);
  fresh.Drive(input, 7);
  EXPECT_EQ(h.sent, fresh.sent);
  // And again: a new connection's first head gets the head time-out.
  h.steps.Reuse();
  h.started = false;
  h.Drive("", 1, false);
  EXPECT_EQ(h.steps.OnTick(h.now + seconds(4)), Action::kClose);
}

TEST(ConnectionSteps, ShutdownClosesIdleConnectionsAndLetsCallsFinish) {
  Harness idle;
  idle.Drive("", 1, false);
  EXPECT_EQ(idle.steps.OnShutdown(false), Action::kClose);
  Harness busy;
  busy.CallWaitingForBody();
  EXPECT_EQ(busy.steps.OnShutdown(false), Action::kNone);
  EXPECT_EQ(busy.steps.OnShutdown(true), Action::kCancelCall);
  EXPECT_TRUE(busy.steps.call_aborted());
  // A request begun when stopping begins is answered, with the close.
  Harness late;
  const std::string requests = Get("/x") + Get("/y");
  late.Drive(requests.substr(0, 10), 1000, false);
  late.state.stopping.store(true);
  EXPECT_EQ(late.steps.OnShutdown(false), Action::kNone);
  late.Drive(requests.substr(10), 1000);
  EXPECT_EQ(late.sent, "/x;");
  EXPECT_TRUE(late.steps.policy().close_requested);
}

}  // namespace
}  // namespace pendrakel::server
