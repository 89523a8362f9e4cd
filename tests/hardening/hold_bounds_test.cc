// What one client can hold of the host, and for how long: a fiber stack
// when memory runs short, a connection slot while the rest of an unread
// body trickles in, the upload budget while a chunked body grows. Each is
// bounded, and whoever is turned away hears why.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <chrono>
#include <fstream>
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

// The status line's code of what `socket` receives within `limit`; 0 when
// nothing came.
int StatusOf(RawSocket& socket, milliseconds limit) {
  std::string answer;
  socket.Receive(answer, 4096, limit);
  if (answer.rfind("HTTP/1.1 ", 0) != 0) return 0;
  return std::stoi(answer.substr(9, 3));
}

// VmSize of process `pid` in bytes; 0 when it cannot be read.
uint64_t AddressSpaceBytes(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string key;
  while (status >> key) {
    if (key == "VmSize:") {
      uint64_t kib = 0;
      status >> kib;
      return kib * 1024;
    }
  }
  return 0;
}

TEST(HoldBounds, AStackThatCannotBeMappedIs503AndTheHostGoesOn) {
#ifdef PENDRAKEL_SANITIZED_BUILD
  GTEST_SKIP() << "the sanitizers' own mappings fail first under RLIMIT_AS";
#endif
  auto host = StoreHost::Start(
      "", {"--threads", "1", "--preload", "4096", "--min-upload-rate", "0"});
  ASSERT_TRUE(host);
  const int port = host->port();
  ASSERT_EQ(Store(port, "warm", 100), 201);
  // Room for a few more fiber stacks (256 KiB and a guard page each).
  const uint64_t now = AddressSpaceBytes(host->pid());
  ASSERT_GT(now, 0u);
  const rlimit limit{now + 4 * 264 * 1024, now + 4 * 264 * 1024};
  ASSERT_EQ(prlimit(host->pid(), RLIMIT_AS, &limit, nullptr), 0);
  // Uploads that park their call waiting for the rest of their body, until
  // one finds no stack.
  std::vector<std::unique_ptr<RawSocket>> parked;
  int refused = 0;
  for (int i = 0; i < 64 && refused == 0; ++i) {
    auto socket = std::make_unique<RawSocket>(port);
    ASSERT_TRUE(socket->Send(PutHead("p" + std::to_string(i), 8192) +
                             std::string(4096, 'p')));
    const int status = StatusOf(*socket, milliseconds(300));
    if (status == 503) ++refused;
    ASSERT_TRUE(status == 0 || status == 503) << status;
    parked.push_back(std::move(socket));
  }
  EXPECT_EQ(refused, 1);
  ASSERT_TRUE(host->Alive());
  // The first parked upload completes, and its stack serves the next.
  ASSERT_TRUE(parked[0]->Send(std::string(4096, 'p')));
  EXPECT_EQ(StatusOf(*parked[0], seconds(5)), 201);
  EXPECT_EQ(Store(port, "next", 100), 201);
  EXPECT_TRUE(host->Alive());
}

TEST(HoldBounds, TheUnreadRestOfABodyTrickledInFreesItsSlot) {
  auto host = StoreHost::Start("", {"--max-connections", "1", "--preload",
                                    "4096", "--read-timeout", "1"});
  ASSERT_TRUE(host);
  const int port = host->port();
  // The module answers a GET without reading its body; the host drains the
  // rest to keep the connection, and the client sends it a byte at a time.
  RawSocket trickler(port);
  ASSERT_TRUE(trickler.Send(
      "GET /none HTTP/1.1\r\nHost: h\r\nContent-Length: 100000\r\n\r\n" +
      std::string(4096, 'x')));
  ASSERT_EQ(StatusOf(trickler, seconds(5)), 404);
  const auto start = Clock::now();
  std::string rest;
  while (Clock::now() - start < seconds(10) && trickler.Send("x") &&
         trickler.Receive(rest, 1, milliseconds(100)) == 0) {
  }
  const auto held = Clock::now() - start;
  EXPECT_LT(held, milliseconds(3000) * kSlowdownFactor);
  // The slot is free again (once the host has seen the close through).
  int status = 0;
  for (int i = 0; i < 20 && status != 201; ++i) {
    std::this_thread::sleep_for(milliseconds(50));
    status = Store(port, "after", 10);
  }
  EXPECT_EQ(status, 201);
}

TEST(HoldBounds, SlowUploadsHoldTheStoreForABoundedTime) {
  // Two uploads reserve the whole store for their declared length and
  // send it well above the minimum rate but below the average a whole
  // upload must keep: 3 s to send 4 MiB.
  const size_t kLength = 4 << 20;
  auto host = StoreHost::Start("<Settings><Memory Max=\"8388608\"/></Settings>",
                               {"--preload", "4096", "--read-timeout", "1",
                                "--min-upload-average", "2097152"});
  ASSERT_TRUE(host);
  const int port = host->port();
  RawSocket first(port);
  RawSocket second(port);
  const std::string piece(32 * 1024, 'x');
  const auto start = Clock::now();
  ASSERT_TRUE(first.Send(PutHead("a", kLength) + piece));
  ASSERT_TRUE(second.Send(PutHead("b", kLength) + piece));
  std::this_thread::sleep_for(milliseconds(200));
  // Both have reserved their length: the store is full.
  int other = Store(port, "other", 100000);
  EXPECT_EQ(other, 500);
  bool first_open = true;
  bool second_open = true;
  while (other != 201 && Clock::now() - start < seconds(8)) {
    first_open = first_open && first.Send(piece);
    second_open = second_open && second.Send(piece);
    other = Store(port, "other", 100000);
    std::this_thread::sleep_for(milliseconds(100));
  }
  const auto took = Clock::now() - start;
  EXPECT_EQ(other, 201);
  EXPECT_LT(took, milliseconds(6000) * kSlowdownFactor);
  EXPECT_EQ(StatusOf(first, seconds(2)), 408);
  EXPECT_EQ(StatusOf(second, seconds(2)), 408);
}

TEST(HoldBounds, AChunkedUploadWaitsForRoomLikeADeclaredOne) {
  auto host = StoreHost::Start(
      "", {"--preload", "4096", "--read-timeout", "5", "--max-upload-bytes",
           "1000000", "--min-upload-rate", "0"});
  ASSERT_TRUE(host);
  const int port = host->port();
  const size_t kDeclared = 800000;
  RawSocket declared(port);
  ASSERT_TRUE(declared.Send(PutHead("d", kDeclared) + std::string(4096, 'd')));
  std::this_thread::sleep_for(milliseconds(200));
  // 300 000 bytes do not fit beside the 800 000 held: the chunked upload
  // waits instead of being turned away.
  RawSocket chunked(port);
  ASSERT_TRUE(chunked.Send(
      "PUT /c HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n"
      "493e0\r\n" +
      std::string(300000, 'c') + "\r\n"));
  EXPECT_EQ(StatusOf(chunked, milliseconds(600)), 0);
  ASSERT_TRUE(declared.Send(std::string(kDeclared - 4096, 'd')));
  EXPECT_EQ(StatusOf(declared, seconds(5)), 201);
  ASSERT_TRUE(chunked.Send("0\r\n\r\n"));
  EXPECT_EQ(StatusOf(chunked, seconds(5)), 201);
}

}  // namespace
}  // namespace pendrakel::testing
