// Hostile and malformed HTTP input sent raw to pendrakel-host serving the
// real store, each request whole and again one byte at a time. Every one
// gets a clear error answer or a closed connection within seconds, never a
// crash: the host still runs and serves afterwards, and a value stored
// before survives. Requests whose framing is ambiguous carry a smuggled
// DELETE of that value behind them, which must never be carried out.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/hardening/build_speed.h"
#include "tests/hardening/store_host.h"
#include "tests/server/http_client.h"

namespace pendrakel::testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr char kKept[] = "12345";
// Sent behind a request whose end is in doubt: if the host took it as a
// request of its own, the kept value would be gone.
constexpr char kSmuggled[] = "DELETE /kept HTTP/1.1\r\nHost: h\r\n\r\n";
// Longer than the host's 16 KiB head limit.
constexpr size_t kOverlongBytes = 20000;

milliseconds Scaled(milliseconds bound) { return bound * kSlowdownFactor; }

enum class Expect {
  // Answered `status` (any 4xx or 5xx when 0), then closed; nothing sent
  // after the request is carried out.
  kRefusedAndClosed,
  // Answered with a 4xx or 5xx status, or closed.
  kErrorOrClosed,
  // Answered `status` (and `body` when given) like any good request; the
  // connection stays usable.
  kServed,
};

struct BadRequest {
  const char* what;
  std::string bytes;
  Expect expect;
  int status = 0;
  std::optional<std::string> body = std::nullopt;
};

std::string Head(const std::string& request_line, const std::string& fields) {
  return request_line + "\r\n" + fields + "\r\n";
}

std::string Chunked(const std::string& chunks) {
  return Head("PUT /chunked HTTP/1.1",
              "Host: h\r\nTransfer-Encoding: chunked\r\n") +
         chunks;
}

std::string Garbage(size_t size) {
  std::mt19937 random(20240611);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(random() % 256);
  return bytes;
}

std::vector<BadRequest> BadRequests() {
  using E = Expect;
  const std::string s = kSmuggled;
  const std::string nul(1, '\0');
  std::string many_fields;
  for (int i = 0; i < 3000; ++i)
    many_fields += "X-F" + std::to_string(i) + ": v\r\n";
  return {
      // Line endings and the request line.
      {"bare LF line endings", "GET /kept HTTP/1.1\nHost: h\n\n",
       E::kErrorOrClosed},
      {"bare LF inside a CRLF head", "GET /kept HTTP/1.1\r\nHost: h\n\r\n",
       E::kErrorOrClosed},
      {"bare CR in a field",
       Head("GET /kept HTTP/1.1", "Host: h\r\nX-A: a\rb\r\n"),
       E::kErrorOrClosed},
      {"missing version", Head("GET /kept", "Host: h\r\n") + s,
       E::kRefusedAndClosed, 400},
      {"request line alone", "GET /kept\r\n\r\n" + s, E::kRefusedAndClosed,
       400},
      {"lower-case version", Head("GET /kept http/1.1", "Host: h\r\n") + s,
       E::kRefusedAndClosed},
      {"unknown major version", Head("GET /kept HTTP/3.0", "Host: h\r\n"),
       E::kErrorOrClosed},
      {"two blanks in the request line",
       Head("GET  /kept HTTP/1.1", "Host: h\r\n") + s, E::kRefusedAndClosed},
      {"method with a delimiter",
       Head("GE(T /kept HTTP/1.1", "Host: h\r\n") + s, E::kRefusedAndClosed},
      {"absolute-form target",
       Head("GET http://h/kept HTTP/1.1", "Host: h\r\n"), E::kServed, 200,
       kKept},
      {"no Host field", Head("GET /kept HTTP/1.1", "") + s,
       E::kRefusedAndClosed, 400},
      {"two Host fields",
       Head("GET /kept HTTP/1.1", "Host: h\r\nHost: i\r\n") + s,
       E::kRefusedAndClosed, 400},
      // Field names and values.
      {"blank inside a field name",
       Head("GET /kept HTTP/1.1", "Host: h\r\nBad Name: x\r\n") + s,
       E::kRefusedAndClosed, 400},
      {"blank before the colon",
       Head("PUT /x HTTP/1.1", "Host: h\r\nContent-Length : 3\r\n") + "abc" + s,
       E::kRefusedAndClosed, 400},
      {"control byte in a field name",
       Head("GET /kept HTTP/1.1", "Host: h\r\nBad\x01Name: x\r\n") + s,
       E::kRefusedAndClosed, 400},
      {"empty field name", Head("GET /kept HTTP/1.1", "Host: h\r\n: x\r\n") + s,
       E::kRefusedAndClosed, 400},
      {"field line without a colon",
       Head("GET /kept HTTP/1.1", "Host: h\r\nNoColon\r\n") + s,
       E::kRefusedAndClosed, 400},
      {"obs-fold",
       Head("GET /kept HTTP/1.1", "Host: h\r\nX-A: a\r\n b\r\n") + s,
       E::kRefusedAndClosed, 400},
      {"NUL in the target",
       Head("GET /ke" + nul + "pt HTTP/1.1", "Host: h\r\n") + s,
       E::kRefusedAndClosed, 400},
      {"NUL in the method",
       Head("GE" + nul + "T /kept HTTP/1.1", "Host: h\r\n") + s,
       E::kRefusedAndClosed, 400},
      {"NUL in a field value",
       Head("GET /kept HTTP/1.1", "Host: h\r\nX-A: a" + nul + "b\r\n") + s,
       E::kRefusedAndClosed, 400},
      {"NUL in a field name",
       Head("GET /kept HTTP/1.1", "Host: h\r\nX" + nul + "A: b\r\n") + s,
       E::kRefusedAndClosed, 400},
      // Too much head.
      {"over-long request line",
       Head("GET /" + std::string(kOverlongBytes, 'a') + " HTTP/1.1",
            "Host: h\r\n"),
       E::kRefusedAndClosed, 431},
      {"over-long field",
       Head("GET /kept HTTP/1.1",
            "Host: h\r\nX-A: " + std::string(kOverlongBytes, 'b') + "\r\n"),
       E::kRefusedAndClosed, 431},
      {"too many fields",
       Head("GET /kept HTTP/1.1", "Host: h\r\n" + many_fields),
       E::kRefusedAndClosed, 431},
      // Content-Length.
      {"two equal Content-Length lines",
       Head("POST /set HTTP/1.1",
            "Host: h\r\nX-Param-Name: dup\r\n"
            "Content-Length: 3\r\nContent-Length: 3\r\n") +
           "abc",
       E::kServed, 200},
      {"a Content-Length list of equal values",
       Head("POST /set HTTP/1.1",
            "Host: h\r\nX-Param-Name: dup\r\nContent-Length: 3, 3\r\n") +
           "abc",
       E::kServed, 200},
      {"two different Content-Length lines",
       Head("PUT /x HTTP/1.1",
            "Host: h\r\nContent-Length: 3\r\nContent-Length: 4\r\n") +
           "abcd" + s,
       E::kRefusedAndClosed, 400},
      {"a Content-Length list of different values",
       Head("PUT /x HTTP/1.1", "Host: h\r\nContent-Length: 3, 4\r\n") + "abcd" +
           s,
       E::kRefusedAndClosed, 400},
      {"negative Content-Length",
       Head("PUT /x HTTP/1.1", "Host: h\r\nContent-Length: -1\r\n") + s,
       E::kRefusedAndClosed, 400},
      {"Content-Length not a number",
       Head("PUT /x HTTP/1.1", "Host: h\r\nContent-Length: 3a\r\n") + "abc" + s,
       E::kRefusedAndClosed, 400},
      {"Content-Length past 64 bits",
       Head("PUT /x HTTP/1.1",
            "Host: h\r\nContent-Length: 99999999999999999999999\r\n") +
           s,
       E::kRefusedAndClosed},
      // Content-Length with Transfer-Encoding: request smuggling.
      {"Content-Length, then chunked",
       Head("PUT /x HTTP/1.1",
            "Host: h\r\nContent-Length: 5\r\nTransfer-Encoding: chunked\r\n") +
           "0\r\n\r\n" + s,
       E::kRefusedAndClosed, 400},
      {"chunked, then Content-Length",
       Head("PUT /x HTTP/1.1",
            "Host: h\r\nTransfer-Encoding: chunked\r\nContent-Length: 5\r\n") +
           "0\r\n\r\n" + s,
       E::kRefusedAndClosed, 400},
      {"chunked not last",
       Head("PUT /x HTTP/1.1",
            "Host: h\r\nTransfer-Encoding: chunked, identity\r\n") +
           "0\r\n\r\n" + s,
       E::kRefusedAndClosed},
      {"an unknown coding",
       Head("PUT /x HTTP/1.1", "Host: h\r\nTransfer-Encoding: xchunked\r\n") +
           "0\r\n\r\n" + s,
       E::kRefusedAndClosed},
      // Chunked bodies.
      {"chunk size not hex", Chunked("zz\r\nhello\r\n0\r\n\r\n") + s,
       E::kRefusedAndClosed, 400},
      {"negative chunk size", Chunked("-5\r\nhello\r\n0\r\n\r\n") + s,
       E::kRefusedAndClosed, 400},
      {"chunk size with 0x", Chunked("0x5\r\nhello\r\n0\r\n\r\n") + s,
       E::kRefusedAndClosed, 400},
      {"empty chunk size line", Chunked("\r\nhello\r\n0\r\n\r\n") + s,
       E::kRefusedAndClosed, 400},
      {"chunk longer than its size", Chunked("5\r\nhelloXX\r\n0\r\n\r\n") + s,
       E::kRefusedAndClosed, 400},
      {"chunk size past 64 bits",
       Chunked("10000000000000000\r\nab\r\n0\r\n\r\n") + s,
       E::kRefusedAndClosed},
      {"chunk size of many digits",
       Chunked("ffffffffffffffffffffffff\r\nab\r\n0\r\n\r\n") + s,
       E::kRefusedAndClosed},
      {"over-long chunk extension",
       Chunked("5;" + std::string(8000, 'e') + "\r\nhello\r\n0\r\n\r\n") + s,
       E::kRefusedAndClosed, 400},
      {"over-long trailer",
       Chunked("5\r\nhello\r\n0\r\nX-T: " + std::string(kOverlongBytes, 't') +
               "\r\n\r\n") +
           s,
       E::kRefusedAndClosed},
      // Not HTTP/1.1 at all.
      {"HTTP/2 preface", "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n", E::kErrorOrClosed},
      {"TLS client hello",
       std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11) +
           Garbage(200),
       E::kErrorOrClosed},
      {"random bytes", Garbage(4000), E::kErrorOrClosed},
      {"random bytes after a good head",
       Head("PUT /x HTTP/1.1", "Host: h\r\nTransfer-Encoding: chunked\r\n") +
           Garbage(2000),
       E::kErrorOrClosed},
  };
}

class BadInput : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    host_ = StoreHost::Start().release();
    ASSERT_NE(host_, nullptr);
    const auto stored =
        Exchange(host_->port(), MakeRequest("PUT", "/kept", "", kKept));
    ASSERT_TRUE(stored);
    ASSERT_EQ(stored->status, 201);
  }
  static void TearDownTestSuite() {
    delete host_;
    host_ = nullptr;
  }

  // Sends `request` whole or a byte at a time and checks the answer it gets.
  static void Probe(const BadRequest& request, bool bytewise) {
    HttpClient client(host_->port());
    ASSERT_TRUE(client.connected());
    if (bytewise) {
      for (const char byte : request.bytes) {
        if (!client.Send(std::string(1, byte))) break;  // the host hung up
      }
    } else {
      client.Send(request.bytes);
    }
    const auto answer = client.Read(false, Scaled(seconds(5)));
    switch (request.expect) {
      case Expect::kRefusedAndClosed:
        ASSERT_TRUE(answer) << "no answer";
        if (request.status != 0) {
          EXPECT_EQ(answer->status, request.status) << answer->status_line;
        } else {
          EXPECT_GE(answer->status, 400) << answer->status_line;
        }
        EXPECT_TRUE(client.ClosedWithin(Scaled(seconds(5))));
        break;
      case Expect::kErrorOrClosed:
        if (answer) {
          EXPECT_GE(answer->status, 400) << answer->status_line;
        } else {
          EXPECT_TRUE(client.ClosedWithin(Scaled(seconds(5))))
              << "neither an answer nor a close";
        }
        break;
      case Expect::kServed: {
        ASSERT_TRUE(answer) << "no answer";
        EXPECT_EQ(answer->status, request.status) << answer->status_line;
        EXPECT_EQ(answer->body, request.body.value_or(answer->body));
        ASSERT_TRUE(client.Send(MakeRequest("GET", "/kept")));
        const auto next = client.Read(false, Scaled(seconds(5)));
        ASSERT_TRUE(next) << "the connection did not go on";
        EXPECT_EQ(next->body, kKept);
        break;
      }
    }
  }

  // The host still runs, serves a good request and holds the kept value.
  static void ExpectHostWhole() {
    ASSERT_TRUE(host_->Alive()) << "the host died";
    const auto kept = Exchange(host_->port(), MakeRequest("GET", "/kept"));
    ASSERT_TRUE(kept) << "the host does not answer any more";
    EXPECT_EQ(kept->status, 200) << "the kept value is gone";
    EXPECT_EQ(kept->body, kKept);
    // Put it back so that the next case is judged on its own.
    if (kept->body != kKept)
      Exchange(host_->port(), MakeRequest("PUT", "/kept", "", kKept));
  }

  static StoreHost* host_;
};

StoreHost* BadInput::host_ = nullptr;

TEST_F(BadInput, EachBadRequestWholeIsRefusedAndHarmsNothing) {
  for (const BadRequest& request : BadRequests()) {
    SCOPED_TRACE(request.what);
    Probe(request, false);
    ExpectHostWhole();
  }
}

TEST_F(BadInput, EachBadRequestByteByByteIsRefusedAndHarmsNothing) {
  for (const BadRequest& request : BadRequests()) {
    SCOPED_TRACE(request.what);
    Probe(request, true);
    ExpectHostWhole();
  }
}

TEST_F(BadInput, ManyBadRequestsAtOnceLeaveTheStoreCountingRight) {
  constexpr int kRounds = 5;
  const std::vector<BadRequest> requests = BadRequests();
  const auto before = ReadStat(host_->port());
  std::vector<std::thread> senders;
  for (size_t i = 0; i < requests.size(); ++i) {
    senders.emplace_back([&requests, i] {
      for (int round = 0; round < kRounds; ++round) {
        HttpClient client(host_->port());
        client.Send(requests[i].bytes);
        client.Read(false, Scaled(seconds(5)));
        client.Close(round % 2 == 0);
      }
    });
  }
  for (std::thread& sender : senders) sender.join();
  ExpectHostWhole();
  const auto after = ReadStat(host_->port());
  // Only the requests that were served reached the store's counters: the
  // stores among them once a round, and reads.
  const auto served_stores = std::count_if(
      requests.begin(), requests.end(), [](const BadRequest& request) {
        return request.expect == Expect::kServed &&
               request.bytes.rfind("POST /set ", 0) == 0;
      });
  for (const char* counter :
       {"X-Counter-CMD-Del", "X-Counter-ValueDelete", "X-Counter-CMD-Unknown",
        "X-Counter-ValuesError", "X-Counter-CMD-Set-NoMemory"}) {
    EXPECT_EQ(StatValue(after, counter), StatValue(before, counter)) << counter;
  }
  EXPECT_EQ(StatValue(after, "X-Counter-CMD-Set-OK"),
            StatValue(before, "X-Counter-CMD-Set-OK") +
                static_cast<uint64_t>(kRounds * served_stores));
}

}  // namespace
}  // namespace pendrakel::testing
