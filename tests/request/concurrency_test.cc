// Requests racing each other through the whole request path.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "tests/request/request_test_util.h"

namespace pendrakel {
namespace {

using testing::FakeRequest;
using testing::MakeRequest;
using testing::Op;
using testing::TestExtension;

TEST(Concurrency, AReaderSendsAValueWholeWhileAnotherRequestDeletesIt) {
  TestExtension ext;
  const std::string bytes(4096, 'q');
  ext.Run(*MakeRequest(false, Op::kSet, "n", bytes));
  FakeRequest get("GET", "/n");
  get.OnWrite([&] {
    auto del = MakeRequest(false, Op::kDel, "n");
    ext.Run(*del);
    EXPECT_EQ(del->status(), "200 OK(Pendrakel)");
    EXPECT_EQ(ext.budget.total(), bytes.size());  // the reader still holds it
    ext.Run(*MakeRequest(false, Op::kSet, "n", "x"));
  });
  ext.Run(get);
  EXPECT_EQ(get.body(), bytes);
  EXPECT_EQ(ext.budget.total(), 1u);
}

TEST(Concurrency, SameNewCookieAtOnceMakesExactlyOneCollection) {
  TestExtension ext;
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&ext, t] {
      auto put = MakeRequest(false, Op::kSet, "v" + std::to_string(t), "x");
      put->Header("Cookie", "fresh");
      ext.Run(*put);
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(ext.Counter(Counter::kValuesCreate), 1u);
  EXPECT_EQ(ext.cookies.size(), 1u);
  EXPECT_EQ(ext.budget.total(), 8u);
}

// Many threads run mixed requests over shared names and several cookies;
// afterwards every counter equals what the outcomes seen add up to, and
// deleting everything brings the memory total back to 0.
TEST(Concurrency, CountersAddUpExactlyAfterManyConcurrentRequests) {
  TestExtension ext;
  constexpr int kThreads = 4;
  constexpr int kRequests = 1500;
  std::atomic<uint32_t> found{0}, missed{0}, created{0}, replaced{0},
      removed{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRequests; ++i) {
        const std::string cookie = (i % 3) ? "c" + std::to_string(i % 5) : "";
        const Op op = static_cast<Op>((i + t) % 4);  // get, head, set, del
        auto request = MakeRequest((i / 4) % 2, op, "k" + std::to_string(i % 9),
                                   std::string(i % 64, 'b'));
        if (!cookie.empty()) request->Header("Cookie", cookie);
        ext.Run(*request);
        const std::string& status = request->status();
        const bool ok = request->HeaderValue("x-result-code") != "1";
        switch (op) {
          case Op::kGet:
          case Op::kHead:
            (status == "200 OK(Pendrakel)" && ok ? found : missed)++;
            break;
          case Op::kSet:
            if (status == "204 No Content(Pendrakel)") replaced++;
            if (status == "201 Created(Pendrakel)") created++;
            break;
          default:
            if (status == "200 OK(Pendrakel)" &&
                request->headers().find("x-result") == std::string::npos) {
              removed++;
            }
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  const uint32_t reads = ext.Counter(Counter::kCmdGet);
  EXPECT_EQ(reads, found + missed);
  EXPECT_EQ(ext.Counter(Counter::kCmdGetOk), found.load());
  EXPECT_EQ(ext.Counter(Counter::kCmdGetNotFound), missed.load());
  EXPECT_EQ(
      ext.Counter(Counter::kCmdSet) + reads + ext.Counter(Counter::kCmdDel),
      static_cast<uint32_t>(kThreads * kRequests));
  EXPECT_EQ(ext.Counter(Counter::kCmdSetNoMemory), 0u);
  EXPECT_EQ(ext.Counter(Counter::kCmdSetOk), ext.Counter(Counter::kCmdSet));
  EXPECT_EQ(
      ext.Counter(Counter::kValueCreate) + ext.Counter(Counter::kValueReplace),
      ext.Counter(Counter::kCmdSetOk));
  // The method form tells created from replaced and removed from absent.
  EXPECT_GE(ext.Counter(Counter::kValueCreate), created.load());
  EXPECT_GE(ext.Counter(Counter::kValueReplace), replaced.load());
  EXPECT_GE(ext.Counter(Counter::kValueDelete), removed.load());
  EXPECT_EQ(ext.Counter(Counter::kValuesCreate), 5u);  // one per cookie

  for (const std::string cookie : {"", "c0", "c1", "c2", "c3", "c4"}) {
    for (int k = 0; k < 9; ++k) {
      auto del = MakeRequest(false, Op::kDel, "k" + std::to_string(k));
      if (!cookie.empty()) del->Header("Cookie", cookie);
      ext.Run(*del);
    }
  }
  EXPECT_EQ(ext.budget.total(), 0u);
  EXPECT_EQ(ext.Counter(Counter::kValueCreate),
            ext.Counter(Counter::kValueDelete));
}

}  // namespace
}  // namespace pendrakel
