// Slow and stalled clients against pendrakel-host serving the real store:
// uploaders that trickle, readers that read slowly or not at all, and more
// uploads than the in-progress budget holds. None of them may hold up other
// clients, and none may make the host copy what it cannot send yet.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/hardening/build_speed.h"
#include "tests/hardening/raw_socket.h"
#include "tests/hardening/store_host.h"
#include "tests/server/http_client.h"

namespace pendrakel::testing {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

milliseconds Scaled(milliseconds bound) { return bound * kSlowdownFactor; }

// Reads an answer from `socket`, taking `piece` bytes every `pause`, until
// its body has `body_bytes`, the host closes, or `limit` passes. Returns the
// body bytes that came.
size_t ReadBodyAtPace(RawSocket& socket, size_t body_bytes, size_t piece,
                      milliseconds pause, milliseconds limit) {
  std::string head;
  size_t body = 0;
  std::string received;
  const auto end = Clock::now() + limit;
  while (body < body_bytes && Clock::now() < end) {
    received.clear();
    if (socket.Receive(received, piece, seconds(5)) == 0) break;
    if (head.find("\r\n\r\n") == std::string::npos) {
      head += received;
      const size_t at = head.find("\r\n\r\n");
      if (at != std::string::npos) body = head.size() - at - 4;
    } else {
      body += received.size();
    }
    std::this_thread::sleep_for(pause);
  }
  return body;
}

TEST(SlowClients, TricklingUploadersDelayNoOtherUploadAndAreCutOff) {
  auto host = StoreHost::Start(
      "", {"--threads", "1", "--preload", "4096", "--read-timeout", "2"});
  ASSERT_TRUE(host);
  const int port = host->port();
  // Each sends its head and a first part of the body past the preload, then
  // a byte a second: far below the minimum upload rate.
  const int kTricklers = 200 / kSlowdownFactor;
  std::vector<std::unique_ptr<RawSocket>> tricklers;
  for (int i = 0; i < kTricklers; ++i) {
    tricklers.push_back(std::make_unique<RawSocket>(port));
    ASSERT_TRUE(tricklers.back()->Send(
        PutHead("t" + std::to_string(i), 1 << 20) + std::string(8192, 't')));
  }
  std::atomic<bool> trickling{true};
  std::thread trickle([&] {
    while (trickling.load()) {
      for (auto& socket : tricklers) socket->Send("t");
      std::this_thread::sleep_for(milliseconds(1000));
    }
  });
  std::this_thread::sleep_for(milliseconds(300));
  const auto start = Clock::now();
  EXPECT_EQ(Store(port, "large", 1 << 20), 201);
  EXPECT_LT(Clock::now() - start, Scaled(milliseconds(1000)));
  // Past a read time-out window each trickler hears 408 and is closed.
  int timed_out = 0;
  for (auto& socket : tricklers) {
    std::string answer;
    socket->Receive(answer, 4096, Scaled(seconds(6)));
    if (answer.rfind("HTTP/1.1 408 ", 0) == 0) ++timed_out;
  }
  trickling.store(false);
  trickle.join();
  EXPECT_EQ(timed_out, kTricklers);
  EXPECT_EQ(StatValue(ReadStat(port), "X-Memory-Total"), 1u << 20);
}

TEST(SlowClients, ASteadyReaderGetsAllAndAStalledOneIsClosed) {
  auto host = StoreHost::Start("", {"--write-timeout", "2"});
  ASSERT_TRUE(host);
  const int port = host->port();
  // Far more than the socket buffers hold, so the answer waits on the
  // reader for longer than the write time-out in all.
  const size_t kValueBytes = 12u << 20;
  ASSERT_EQ(Store(port, "v", kValueBytes), 201);
  const std::string get = "GET /v HTTP/1.1\r\nHost: h\r\n\r\n";
  RawSocket steady(port, 64 * 1024);
  RawSocket stalled(port, 64 * 1024);
  ASSERT_TRUE(steady.Send(get));
  ASSERT_TRUE(stalled.Send(get));
  // About 3 MiB a second: some four seconds in all.
  EXPECT_EQ(ReadBodyAtPace(steady, kValueBytes, 64 * 1024, milliseconds(20),
                           Scaled(seconds(30))),
            kValueBytes);
  // The stalled reader took nothing for over the write time-out: it gets
  // what the socket buffers held, then the close.
  EXPECT_LT(ReadBodyAtPace(stalled, kValueBytes, 1 << 20, milliseconds(0),
                           Scaled(seconds(10))),
            kValueBytes);
}

TEST(SlowClients, ReadersThatTakeNothingCostNoCopyOfTheValue) {
  auto host = StoreHost::Start();
  ASSERT_TRUE(host);
  const int port = host->port();
  const size_t kValueBytes = 32u << 20;
  ASSERT_EQ(Store(port, "v", kValueBytes), 201);
  ASSERT_EQ(Store(port, "kept", 1), 201);
  const uint64_t before = host->ResidentBytes();
  std::vector<std::unique_ptr<RawSocket>> readers;
  for (int i = 0; i < 100; ++i) {
    readers.push_back(std::make_unique<RawSocket>(port, 4096));
    ASSERT_TRUE(readers.back()->Send("GET /v HTTP/1.1\r\nHost: h\r\n\r\n"));
  }
  // The first part of each answer fills its socket's buffers; then the
  // readers park, and others are answered meanwhile.
  std::this_thread::sleep_for(Scaled(milliseconds(1000)));
  const auto start = Clock::now();
  const auto kept = Exchange(port, "GET /kept HTTP/1.1\r\nHost: h\r\n\r\n");
  ASSERT_TRUE(kept);
  EXPECT_EQ(kept->body, "k");
  EXPECT_LT(Clock::now() - start, Scaled(milliseconds(2000)));
  // Each parked reader holds its buffers and the touched part of one fiber
  // stack, never a copy of the 32 MiB it is sending.
  const uint64_t after = host->ResidentBytes();
  EXPECT_LT(after, before + (16u << 20))
      << (after - before) / 1024 << " KiB more for 100 parked readers";
}

TEST(SlowClients, UploadsBeyondTheInProgressBudgetWaitThen503) {
  auto host = StoreHost::Start(
      "", {"--preload", "4096", "--read-timeout", "1", "--max-upload-bytes",
           "1000000", "--min-upload-rate", "0"});
  ASSERT_TRUE(host);
  const int port = host->port();
  const size_t kBody = 800000;
  RawSocket first(port);
  ASSERT_TRUE(first.Send(PutHead("a", kBody) + std::string(8192, 'a')));
  // The first keeps sending a little, so it is never silent for a window.
  std::atomic<bool> second_done{false};
  size_t sent = 8192;
  std::thread keep_alive([&] {
    while (!second_done.load()) {
      first.Send("a");
      ++sent;
      std::this_thread::sleep_for(milliseconds(100));
    }
  });
  std::this_thread::sleep_for(milliseconds(200));
  // No room while the first holds its 800 000 bytes: the second waits out
  // the read time-out and is turned away.
  const auto refused =
      Exchange(port, PutHead("b", kBody) + std::string(kBody, 'b'));
  second_done.store(true);
  keep_alive.join();
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 503);
  // The first goes on; once it is done the budget has room again.
  ASSERT_TRUE(first.Send(std::string(kBody - sent, 'a')));
  std::string answer;
  first.Receive(answer, 4096, Scaled(seconds(5)));
  EXPECT_EQ(answer.rfind("HTTP/1.1 201 ", 0), 0u) << answer;
  EXPECT_EQ(Store(port, "b", kBody), 201);
  EXPECT_EQ(StatValue(ReadStat(port), "X-Memory-Total"), 2 * kBody);
}

}  // namespace
}  // namespace pendrakel::testing
