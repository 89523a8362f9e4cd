// Each kind of hostile load, driven against the real host with a small
// memory maximum until the store refuses: distinct long cookies with
// Distribute off, cookieless requests with Distribute on, empty values under
// long names, and ordinary values. The refusals must be the store's own
// failure outcomes, the values stored before must be intact, and the host's
// resident memory must stay within the bound README states:
//
//   resident <= base + (Max + kBookkeepingAllowanceBytes) * kResidentFactor
//
// where base is what the host held before the load (measured plain builds
// only: a sanitizer's shadow memory and quarantine are not the store's).
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "store/memory_budget.h"
#include "tests/hardening/build_speed.h"
#include "tests/hardening/store_host.h"
#include "tests/server/http_client.h"

namespace pendrakel::testing {
namespace {

constexpr uint64_t kMiB = 1024 * 1024;
constexpr uint64_t kMax = 2 * kMiB;
#ifndef PENDRAKEL_SANITIZED_BUILD
// README's factor: resident memory per byte the budget admits (README,
// "The memory maximum").
constexpr double kResidentFactor = 1.25;
// The host's own buffers for one connection sending pipelined requests of
// up to 8 KB (read buffer, output buffer of pipelined answers).
constexpr uint64_t kConnectionBytes = kMiB;
#endif
// Requests sent before each read of their answers.
constexpr int kPipelined = 64;
// No load needs more requests than this to reach the refusal point.
constexpr int kMaxRequests = 100'000;
constexpr char kRefused[] = "HTTP/1.1 500 Internal Server Error(Pendrakel)";

// One kind of load: the settings it runs under, its i-th request, and what
// its answers count in STAT when the store refuses.
struct Load {
  const char* label;
  bool distribute;
  std::function<std::string(int)> request;
  const char* refusalCounter;
};

std::string Numbered(char fill, size_t bytes, int i) {
  const std::string number = std::to_string(i);
  return std::string(bytes - number.size(), fill) + number;
}

const Load kLoads[] = {
    {"distinct 1000-byte cookies, Distribute off", false,
     [](int i) {
       return MakeRequest("NOOP", "/",
                          "Cookie: " + Numbered('c', 1000, i) + "\r\n");
     },
     "X-Counter-ValuesError"},
    {"cookieless requests, Distribute on", true,
     [](int) { return MakeRequest("NOOP", "/"); }, "X-Counter-ValuesError"},
    {"empty values under 8000-byte names", false,
     [](int i) {
       return MakeRequest("PUT", "/" + Numbered('n', 8000, i),
                          "Content-Length: 0\r\n");
     },
     "X-Counter-CMD-Set-NoMemory"},
    {"100-byte values under 16-byte names", false,
     [](int i) {
       return MakeRequest("PUT", "/" + Numbered('v', 16, i), "",
                          std::string(100, 'd'));
     },
     "X-Counter-CMD-Set-NoMemory"},
};

// Sends `load` in pipelined batches until a batch brings refusals; returns
// the requests answered with success before the first refusal, or -1 on an
// answer that is neither.
int DriveToRefusal(HttpClient& client, const Load& load) {
  int succeeded = 0;
  for (int sent = 0; sent < kMaxRequests; sent += kPipelined) {
    std::string batch;
    for (int i = 0; i < kPipelined; ++i) batch += load.request(sent + i);
    if (!client.Send(batch)) return -1;
    bool refused = false;
    for (int i = 0; i < kPipelined; ++i) {
      const std::optional<HttpResponse> answer = client.Read();
      if (!answer) return -1;
      if (answer->status_line == kRefused) {
        refused = true;
      } else if (answer->status == 200 || answer->status == 201) {
        if (!refused) ++succeeded;
      } else {
        ADD_FAILURE() << answer->status_line;
        return -1;
      }
    }
    if (refused) return succeeded;
  }
  return -1;
}

TEST(MemoryBound, EveryLoadIsRefusedWithinTheBoundAndKeepsWhatWasStored) {
  for (const Load& load : kLoads) {
    SCOPED_TRACE(load.label);
    auto host = StoreHost::Start(
        "<S><Memory Max=\"" + std::to_string(kMax) + "\"/>" +
        (load.distribute ? "<Cookie Distribute=\"true\"/>" : "") + "</S>");
    ASSERT_TRUE(host);
    HttpClient client(host->port());
    // A value stored before the load, in the collection this client uses.
    const std::string kept(1000, 'k');
    ASSERT_TRUE(client.Send(MakeRequest("PUT", "/kept", "", kept)));
    const auto stored = client.Read();
    ASSERT_TRUE(stored);
    ASSERT_EQ(stored->status, 201);
    const std::string cookie =
        load.distribute
            ? "Cookie: " + stored->Header("Set-Cookie").value_or("") + "\r\n"
            : "";
    const uint64_t base = host->ResidentBytes();

    const int succeeded = DriveToRefusal(client, load);
    ASSERT_GT(succeeded, 0);
    const uint64_t resident = host->ResidentBytes();
    const auto report = ReadStat(host->port());
    EXPECT_GT(StatValue(report, load.refusalCounter), 0u);
    EXPECT_LE(StatValue(report, "X-Memory-Total"), kMax);
    std::printf(
        "%s: %d admitted, resident %.2f MiB more, %.2f of max + "
        "allowance\n",
        load.label, succeeded, (resident - base) / double(kMiB),
        (resident - base) / double(kMax + kBookkeepingAllowanceBytes));
#ifndef PENDRAKEL_SANITIZED_BUILD
    EXPECT_LE(resident,
              base + kConnectionBytes +
                  static_cast<uint64_t>((kMax + kBookkeepingAllowanceBytes) *
                                        kResidentFactor));
#endif
    ASSERT_TRUE(client.Send(MakeRequest("GET", "/kept", cookie)));
    const auto read = client.Read();
    ASSERT_TRUE(read);
    EXPECT_EQ(read->status, 200);
    EXPECT_EQ(read->body, kept);
  }
}

}  // namespace
}  // namespace pendrakel::testing
