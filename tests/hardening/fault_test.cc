// Fault tests of pendrakel-host serving the real store: clients that break
// off at every stage of a request, read their answer slowly, trickle their
// heads, or run into the memory limit. After each fault the host goes on
// serving, gives back every byte it took for the broken request, and keeps
// every value it acknowledged.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
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

constexpr char kKept[] = "12345";
constexpr uint64_t kKeptBytes = 5;
constexpr size_t kLargeBytes = 4u << 20;
// The host's preload for these tests: cuts before it never reach the store,
// cuts after it fail a store in progress.
constexpr size_t kPreloadBytes = 4096;

milliseconds Scaled(milliseconds bound) { return bound * kSlowdownFactor; }

// A body whose bytes depend on their position, so a cut or shifted copy shows.
std::string Pattern(size_t size, char seed) {
  std::string body(size, '\0');
  for (size_t i = 0; i < size; ++i)
    body[i] = static_cast<char>(seed + (i * 7 + i / 4096) % 61);
  return body;
}

// Receives until the kept value has come, the host closed, or `end`.
std::string ReceiveKept(RawSocket& socket, Clock::time_point end,
                        std::string got = {}) {
  for (;;) {
    const auto left = std::chrono::ceil<milliseconds>(end - Clock::now());
    if (got.find(kKept) != std::string::npos || left <= milliseconds(0) ||
        socket.Receive(got, 4096, left) == 0) {
      return got;
    }
  }
}

int StatusOf(int port, const std::string& request) {
  const auto response = Exchange(port, request);
  return response ? response->status : 0;
}

// Waits, bounded, until X-Memory-Total is `total` and every store counted has
// its outcome counted too, three reports in a row; returns the last report.
std::optional<StatReport> WaitForSettled(int port, uint64_t total) {
  std::optional<StatReport> report;
  int stable = 0;
  const auto end = Clock::now() + Scaled(seconds(10));
  while (Clock::now() < end && stable < 3) {
    report = ReadStat(port);
    const bool settled =
        StatValue(report, "X-Memory-Total") == total &&
        StatValue(report, "X-Counter-CMD-Set") ==
            StatValue(report, "X-Counter-CMD-Set-OK") +
                StatValue(report, "X-Counter-CMD-Set-NoMemory");
    stable = settled ? stable + 1 : 0;
    if (stable < 3) std::this_thread::sleep_for(milliseconds(40));
  }
  return report;
}

// Stores /kept and a large patterned /large; returns the large body.
std::string StoreKeptAndLarge(int port) {
  const std::string large = Pattern(kLargeBytes, 'A');
  EXPECT_EQ(StatusOf(port, MakeRequest("PUT", "/kept", "", kKept)), 201);
  EXPECT_EQ(StatusOf(port, MakeRequest("PUT", "/large", "", large)), 201);
  return large;
}

void ExpectValue(int port, const std::string& name, const std::string& body) {
  const auto got = Exchange(port, MakeRequest("GET", "/" + name));
  ASSERT_TRUE(got) << name;
  EXPECT_EQ(got->status, 200) << name;
  EXPECT_TRUE(got->body == body) << name << ": " << got->body.size()
                                 << " bytes back, " << body.size() << " stored";
}

TEST(HostFaults, ClientsBreakingOffAtEveryStageLeaveTheStoreWhole) {
  auto host =
      StoreHost::Start("", {"--preload", std::to_string(kPreloadBytes)});
  ASSERT_TRUE(host);
  const int port = host->port();
  const std::string large = StoreKeptAndLarge(port);
  const uint64_t before = kKeptBytes + large.size();

  const std::string body = Pattern(1 << 20, 'u');
  const std::string put =
      MakeRequest("PUT", "/broken", "Content-Type: text/x\r\n", body);
  const std::string set =
      MakeRequest("POST", "/set", "X-Param-Name: broken\r\n", body);
  const size_t head = put.size() - body.size();
  const size_t set_head = set.size() - body.size();
  struct Cut {
    const char* stage;
    const std::string* request;
    size_t at;
    bool past_preload;  // the store has begun and must fail
  };
  const Cut cuts[] = {
      {"in the method", &put, 2, false},
      {"in the target", &put, 6, false},
      {"in a header line", &put, head - 12, false},
      {"before the blank line", &put, head - 2, false},
      {"right after the head", &put, head, false},
      {"inside the preload", &put, head + 1000, false},
      {"past the preload", &put, head + 100000, true},
      {"one byte short", &put, put.size() - 1, true},
      {"command form, past the preload", &set, set_head + 300000, true},
  };
  int past_preload_closes = 0;
  int past_preload_resets = 0;
  for (const Cut& cut : cuts) {
    for (const bool reset : {false, true}) {
      SCOPED_TRACE(std::string(cut.stage) + (reset ? ", reset" : ", close"));
      HttpClient client(port);
      ASSERT_TRUE(client.Send(cut.request->substr(0, cut.at)));
      // Let the host take up the request before the client vanishes.
      std::this_thread::sleep_for(milliseconds(50));
      client.Close(reset);
      if (cut.past_preload)
        ++(reset ? past_preload_resets : past_preload_closes);
      const auto report = WaitForSettled(port, before);
      EXPECT_EQ(StatValue(report, "X-Memory-Total"), before);
      EXPECT_EQ(StatValue(report, "X-Counter-CMD-Set-OK"), 2u);
      ASSERT_TRUE(host->Alive());
    }
  }
  // A close after the bytes always reaches the store as a broken body; a
  // reset may overtake bytes the host had not read yet.
  const auto report = ReadStat(port);
  const uint64_t failed = StatValue(report, "X-Counter-CMD-Set-NoMemory");
  EXPECT_GE(failed, static_cast<uint64_t>(past_preload_closes));
  EXPECT_LE(failed,
            static_cast<uint64_t>(past_preload_closes + past_preload_resets));

  // Answers broken off: before the head, inside the head, inside the body,
  // and several pipelined answers at once.
  const std::string get = MakeRequest("GET", "/large");
  struct ReadCut {
    const char* stage;
    int requests;
    size_t read_bytes;
  };
  const ReadCut read_cuts[] = {{"before the answer", 1, 0},
                               {"inside the head", 1, 20},
                               {"inside the body", 1, 300000},
                               {"pipelined", 3, 5000000}};
  for (const ReadCut& cut : read_cuts) {
    for (const bool reset : {false, true}) {
      SCOPED_TRACE(std::string(cut.stage) + (reset ? ", reset" : ", close"));
      RawSocket client(port);
      std::string pipelined;
      for (int i = 0; i < cut.requests; ++i) pipelined += get;
      ASSERT_TRUE(client.Send(pipelined));
      std::string got;
      while (got.size() < cut.read_bytes &&
             client.Receive(got, cut.read_bytes - got.size(),
                            Scaled(seconds(5))) > 0) {
      }
      EXPECT_EQ(got.size(), cut.read_bytes);
      client.Close(reset);
      EXPECT_EQ(StatValue(WaitForSettled(port, before), "X-Memory-Total"),
                before);
      ASSERT_TRUE(host->Alive());
    }
  }
  ExpectValue(port, "kept", kKept);
  ExpectValue(port, "large", large);
  EXPECT_EQ(StatusOf(port, MakeRequest("GET", "/broken")), 404);
}

TEST(HostFaults, AbortedReadersOfAChangingValueGiveBackItsBytes) {
  auto host = StoreHost::Start();
  ASSERT_TRUE(host);
  const int port = host->port();
  ASSERT_EQ(StatusOf(port, MakeRequest("PUT", "/kept", "", kKept)), 201);
  ASSERT_EQ(
      StatusOf(port, MakeRequest("PUT", "/big", "", Pattern(1 << 20, 'b'))),
      201);
  constexpr int kReaders = 6;
  constexpr int kReadsEach = 15;
  constexpr int kReplacements = 10;
  std::atomic<int> answers_begun{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < kReaders; ++r) {
    readers.emplace_back([port, r, &answers_begun] {
      for (int i = 0; i < kReadsEach; ++i) {
        RawSocket client(port);
        if (!client.Send(MakeRequest("GET", "/big"))) continue;
        std::string got;
        const size_t want = static_cast<size_t>((r * 7 + i * 13) % 5) * 20000;
        while (got.size() < want &&
               client.Receive(got, want - got.size(), Scaled(seconds(5))) > 0) {
        }
        if (!got.empty()) ++answers_begun;
        client.Close((r + i) % 2 == 0);
      }
    });
  }
  int replaced = 0;
  for (int i = 0; i < kReplacements; ++i) {
    const size_t size = (512u << 10) + static_cast<size_t>(i) * (256u << 10);
    replaced += StatusOf(port, MakeRequest("PUT", "/big", "",
                                           Pattern(size, 'a' + i))) == 204;
  }
  EXPECT_EQ(replaced, kReplacements);
  for (std::thread& reader : readers) reader.join();
  EXPECT_GT(answers_begun.load(), 0);
  EXPECT_EQ(StatusOf(port, MakeRequest("DELETE", "/big")), 200);
  EXPECT_EQ(StatValue(WaitForSettled(port, kKeptBytes), "X-Memory-Total"),
            kKeptBytes);
  ExpectValue(port, "kept", kKept);
}

TEST(HostFaults, ASlowReaderDoesNotHoldUpOtherClients) {
  // One I/O thread: the slow reader and everyone else share it.
  auto host = StoreHost::Start("", {"--threads", "1"});
  ASSERT_TRUE(host);
  const int port = host->port();
  const std::string large = StoreKeptAndLarge(port);

  RawSocket slow(port, 4096);
  ASSERT_TRUE(slow.connected());
  ASSERT_TRUE(slow.Send(MakeRequest("GET", "/large")));
  std::string received;
  ASSERT_GT(slow.Receive(received, 4096, Scaled(seconds(5))), 0u);

  std::atomic<bool> others_done{false};
  std::atomic<int> served{0};
  std::thread others([port, &others_done, &served] {
    HttpClient client(port);
    for (int i = 0; i < 40; ++i) {
      const std::string name = "/quick" + std::to_string(i % 4);
      const std::string value = "q" + std::to_string(i % 10);
      if (!client.Send(MakeRequest("PUT", name, "", value))) break;
      const auto stored = client.Read(false, Scaled(milliseconds(1000)));
      if (!stored || (stored->status != 201 && stored->status != 204)) break;
      if (!client.Send(MakeRequest("GET", name))) break;
      const auto read = client.Read(false, Scaled(milliseconds(1000)));
      if (!read || read->body != value) break;
      ++served;
    }
    // The value being read slowly goes while its answer is still on its way.
    if (client.Send(MakeRequest("DELETE", "/large"))) {
      const auto deleted = client.Read(false, Scaled(milliseconds(1000)));
      if (deleted && deleted->status == 200) ++served;
    }
    others_done.store(true);
  });
  // About 4 KiB every 2 ms: the 4 MiB answer takes over two seconds.
  auto answer_complete = [&received] {
    const size_t body_at = received.find("\r\n\r\n");
    return body_at != std::string::npos &&
           received.size() >= body_at + 4 + kLargeBytes;
  };
  const auto end = Clock::now() + Scaled(seconds(30));
  size_t others_done_at = 0;
  while (!answer_complete() && Clock::now() < end &&
         slow.Receive(received, 4096, Scaled(seconds(5))) > 0) {
    if (others_done_at == 0 && others_done.load())
      others_done_at = received.size();
    std::this_thread::sleep_for(milliseconds(2));
  }
  others.join();
  EXPECT_EQ(served.load(), 41) << "requests beside the slow reader stalled";
  EXPECT_GT(others_done_at, 0u);
  EXPECT_LT(others_done_at, kLargeBytes)
      << "the others were served only after the slow answer";
  const size_t body_at = received.find("\r\n\r\n");
  ASSERT_NE(body_at, std::string::npos);
  EXPECT_EQ(received.rfind("HTTP/1.1 200 OK(Pendrakel)\r\n", 0), 0u);
  EXPECT_TRUE(received.substr(body_at + 4) == large)
      << received.size() - body_at - 4 << " body bytes";
  // Only the four small values remain.
  const auto report = WaitForSettled(port, kKeptBytes + 4 * 2);
  EXPECT_EQ(StatValue(report, "X-Memory-Total"), kKeptBytes + 4 * 2);
}

TEST(HostFaults, SlowHeadsDoNotHoldUpOtherClients) {
  auto host = StoreHost::Start();
  ASSERT_TRUE(host);
  const int port = host->port();
  ASSERT_EQ(StatusOf(port, MakeRequest("PUT", "/kept", "", kKept)), 201);
  constexpr int kSlowClients = 500;
  constexpr int kTrickleSeconds = 3;
  const std::string request = MakeRequest("GET", "/kept");
  std::vector<std::unique_ptr<RawSocket>> slow;
  for (int i = 0; i < kSlowClients; ++i) {
    slow.push_back(std::make_unique<RawSocket>(port));
    ASSERT_TRUE(slow.back()->connected()) << i;
  }
  std::atomic<bool> trickling{true};
  std::atomic<int> served{0};
  std::atomic<int> late{0};
  std::thread others([&] {
    HttpClient kept_alive(port);
    while (trickling.load()) {
      const auto start = Clock::now();
      const auto fresh = Exchange(port, request);
      kept_alive.Send(request);
      const auto again = kept_alive.Read(false, Scaled(milliseconds(1000)));
      if (!fresh || fresh->body != kKept || !again || again->body != kKept ||
          Clock::now() - start > Scaled(milliseconds(1000))) {
        ++late;
      } else {
        ++served;
      }
      std::this_thread::sleep_for(milliseconds(50));
    }
  });
  // One byte a second on every slow connection.
  for (int second = 0; second < kTrickleSeconds; ++second) {
    const auto tick = Clock::now();
    for (auto& client : slow)
      EXPECT_TRUE(client->Send(request.substr(static_cast<size_t>(second), 1)));
    std::this_thread::sleep_until(tick + seconds(1));
  }
  trickling.store(false);
  others.join();
  EXPECT_EQ(late.load(), 0);
  EXPECT_GE(served.load(), 10);
  ASSERT_TRUE(host->Alive());
  // The trickled heads are still being read: finishing them gets answers.
  for (auto& client : slow)
    ASSERT_TRUE(client->Send(request.substr(kTrickleSeconds)));
  int answered = 0;
  for (auto& client : slow) {
    const std::string got =
        ReceiveKept(*client, Clock::now() + Scaled(seconds(5)));
    answered += got.rfind("HTTP/1.1 200 OK(Pendrakel)\r\n", 0) == 0 &&
                got.find(kKept) != std::string::npos;
  }
  EXPECT_EQ(answered, kSlowClients);
}

TEST(HostFaults, OutOfDescriptorsTheHostWaitsInsteadOfSpinning) {
#ifdef PENDRAKEL_UNDEFINED_SANITIZER
  // The undefined-behaviour checker opens a pipe to test an object's memory
  // before it trusts a virtual call; without a free descriptor it reports
  // every such call as made on a bad object and aborts the host.
  GTEST_SKIP() << "needs descriptors in the undefined-behaviour checker";
#endif
  auto host = StoreHost::Start();
  ASSERT_TRUE(host);
  const int port = host->port();
  // Kept open, so that the host's descriptors do not change while they are
  // counted below.
  HttpClient storing(port);
  ASSERT_TRUE(storing.Send(MakeRequest("PUT", "/kept", "", kKept)));
  ASSERT_EQ(storing.Read().value_or(HttpResponse{}).status, 201);
  // A limit at the lowest free descriptor number leaves the host none to
  // accept with.
  const std::string fds = "/proc/" + std::to_string(host->pid()) + "/fd/";
  rlimit limit{};
  ASSERT_EQ(prlimit(host->pid(), RLIMIT_NOFILE, nullptr, &limit), 0);
  const rlim_t open_limit = limit.rlim_cur;
  limit.rlim_cur = 0;
  while (std::filesystem::exists(fds + std::to_string(limit.rlim_cur)))
    ++limit.rlim_cur;
  ASSERT_EQ(prlimit(host->pid(), RLIMIT_NOFILE, &limit, nullptr), 0);
  RawSocket waiting(port);  // accepted by the kernel, not by the host
  ASSERT_TRUE(waiting.Send(MakeRequest("GET", "/kept")));
  const uint64_t before = host->CpuTicks();
  std::this_thread::sleep_for(seconds(1));
  // A spinning acceptor would take a whole core.
  EXPECT_LT(host->CpuTicks() - before,
            static_cast<uint64_t>(sysconf(_SC_CLK_TCK)) / 4);
  std::string got;
  ASSERT_EQ(waiting.Receive(got, 4096, milliseconds(0)), 0u)
      << "answered with no descriptor to spare: " << got;
  limit.rlim_cur = open_limit;
  ASSERT_EQ(prlimit(host->pid(), RLIMIT_NOFILE, &limit, nullptr), 0);
  got = ReceiveKept(waiting, Clock::now() + Scaled(seconds(5)), got);
  EXPECT_EQ(got.rfind("HTTP/1.1 200 OK(Pendrakel)\r\n", 0), 0u) << got;
}

// Connections that queue up while the host is stopped are reported to it
// as one readiness of the listening socket: it must take every one.
TEST(HostFaults, ConnectionsQueuedWhileTheHostIsStoppedAreAllServed) {
  auto host = StoreHost::Start();
  ASSERT_TRUE(host);
  const int port = host->port();
  ASSERT_EQ(StatusOf(port, MakeRequest("PUT", "/kept", "", kKept)), 201);
  ASSERT_EQ(kill(host->pid(), SIGSTOP), 0);
  std::vector<std::unique_ptr<RawSocket>> queued;
  for (int i = 0; i < 100; ++i) {
    queued.push_back(std::make_unique<RawSocket>(port));
    ASSERT_TRUE(queued.back()->Send(MakeRequest("GET", "/kept")));
  }
  ASSERT_EQ(kill(host->pid(), SIGCONT), 0);
  size_t answered = 0;
  const auto end = Clock::now() + Scaled(seconds(5));
  for (auto& socket : queued) {
    const std::string got = ReceiveKept(*socket, end);
    if (got.rfind("HTTP/1.1 200 OK(Pendrakel)\r\n", 0) == 0) ++answered;
  }
  EXPECT_EQ(answered, queued.size());
}

TEST(HostFaults, AnUploadRefusedForMemoryLeavesTheConnectionUsable) {
  auto host = StoreHost::Start("<S><Memory Max=\"1000\"/></S>");
  ASSERT_TRUE(host);
  const int port = host->port();
  HttpClient client(port);
  auto exchange = [&client](const std::string& request) {
    EXPECT_TRUE(client.Send(request));
    return client.Read().value_or(HttpResponse{});
  };
  EXPECT_EQ(
      exchange(MakeRequest("PUT", "/small", "", std::string(600, 's'))).status,
      201);
  EXPECT_EQ(
      exchange(MakeRequest("PUT", "/big", "", Pattern(5000, 'x'))).status_line,
      "HTTP/1.1 500 Internal Server Error(Pendrakel)");
  // Refused although the limit is not passed by the body alone.
  EXPECT_EQ(exchange(MakeRequest("PUT", "/big", "", std::string(401, 'y')))
                .status_line,
            "HTTP/1.1 500 Internal Server Error(Pendrakel)");
  const HttpResponse set = exchange(
      MakeRequest("POST", "/set", "X-Param-Name: big\r\n", Pattern(5000, 'z')));
  EXPECT_EQ(set.status_line, "HTTP/1.1 200 OK(Pendrakel)");
  EXPECT_EQ(set.Header("x-result-code"), "1");
  EXPECT_EQ(set.Header("x-result-reason"), "No Memory");
  // A chunked refusal, and a refusal with the next request right behind it.
  EXPECT_EQ(exchange("PUT /big HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: "
                     "chunked\r\n\r\n7d0\r\n" +
                     std::string(2000, 'c') + "\r\n0\r\n\r\n")
                .status,
            500);
  ASSERT_TRUE(client.Send(MakeRequest("PUT", "/big", "", Pattern(3000, 'p')) +
                          MakeRequest("PUT", "/fits", "", "400-bytes-left")));
  const auto refused = client.Read();
  const auto fits = client.Read();
  ASSERT_TRUE(refused);
  ASSERT_TRUE(fits);
  EXPECT_EQ(refused->status, 500);
  EXPECT_EQ(fits->status, 201);
  const HttpResponse small = exchange(MakeRequest("GET", "/small"));
  EXPECT_EQ(small.body, std::string(600, 's'));
  EXPECT_EQ(exchange(MakeRequest("GET", "/big")).status, 404);
  const auto report = ReadStat(client);
  EXPECT_EQ(StatValue(report, "X-Memory-Total"), 600u + 14u);
  EXPECT_EQ(StatValue(report, "X-Counter-CMD-Set-NoMemory"), 5u);
  EXPECT_EQ(StatValue(report, "X-Counter-CMD-Set-OK"), 2u);
}

// What one uploading client saw, and what it left stored.
struct UploadTally {
  int stored = 0;
  int refused = 0;
  int wrong = 0;  // any answer that is neither
  std::string first_wrong;
  std::map<std::string, size_t> sizes;  // name -> stored size
};

void Upload(int port, int thread, int requests, uint64_t limit,
            UploadTally& tally) {
  std::mt19937 random(static_cast<unsigned>(thread) * 7919u + 1);
  HttpClient client(port);
  auto wrong = [&tally](const std::string& what) {
    if (tally.wrong++ == 0) tally.first_wrong = what;
  };
  for (int i = 0; i < requests; ++i) {
    const std::string name =
        "t" + std::to_string(thread) + "n" + std::to_string(random() % 8);
    const size_t size = random() % (limit / 8);
    const bool command = random() % 2 == 0;
    if (random() % 6 == 0) {
      if (!client.Send(MakeRequest("DELETE", "/" + name)) || !client.Read()) {
        wrong("no answer to DELETE");
        return;
      }
      tally.sizes.erase(name);
      continue;
    }
    const std::string body(size, static_cast<char>('a' + thread));
    const std::string request =
        command ? MakeRequest("POST", "/set", "X-Param-Name: " + name + "\r\n",
                              body)
                : MakeRequest("PUT", "/" + name, "", body);
    const auto answer =
        client.Send(request) ? client.Read() : std::optional<HttpResponse>();
    if (!answer) {
      wrong("no answer to a store");
      return;
    }
    const bool ok = command
                        ? answer->status_line == "HTTP/1.1 200 OK(Pendrakel)" &&
                              answer->Header("x-result-code") == "0"
                        : answer->status == 201 || answer->status == 204;
    const bool no_memory =
        command ? answer->status_line == "HTTP/1.1 200 OK(Pendrakel)" &&
                      answer->Header("x-result-code") == "1" &&
                      answer->Header("x-result-reason") == "No Memory"
                : answer->status_line ==
                      "HTTP/1.1 500 Internal Server Error(Pendrakel)";
    if (ok) {
      ++tally.stored;
      tally.sizes[name] = size;
    } else if (no_memory) {
      ++tally.refused;
    } else {
      wrong(answer->status_line + "\n" + answer->head);
    }
  }
}

TEST(HostFaults, AFullStoreUnderConcurrentUploadsNeverPassesItsLimit) {
  constexpr uint64_t kLimit = 64 * 1024;
  auto host = StoreHost::Start("<S><Memory Max=\"" + std::to_string(kLimit) +
                               "\"/></S>");
  ASSERT_TRUE(host);
  const int port = host->port();
  constexpr int kThreads = 8;
  const int requests = 400 / kSlowdownFactor;
  std::vector<UploadTally> tallies(kThreads);
  std::atomic<int> running{kThreads};
  std::vector<std::thread> uploaders;
  for (int t = 0; t < kThreads; ++t) {
    uploaders.emplace_back([&, t] {
      Upload(port, t, requests, kLimit, tallies[t]);
      --running;
    });
  }
  int samples = 0;
  uint64_t highest = 0;
  {
    HttpClient sampler(port);
    while (running.load() > 0) {
      const uint64_t total = StatValue(ReadStat(sampler), "X-Memory-Total");
      ASSERT_NE(total, UINT64_MAX) << "STAT failed";
      highest = std::max(highest, total);
      ++samples;
    }
  }
  for (std::thread& uploader : uploaders) uploader.join();
  EXPECT_LE(highest, kLimit);
  EXPECT_GE(samples, 10);
  UploadTally all;
  uint64_t kept = 0;
  for (const UploadTally& tally : tallies) {
    EXPECT_EQ(tally.wrong, 0) << tally.first_wrong;
    all.stored += tally.stored;
    all.refused += tally.refused;
    for (const auto& [name, size] : tally.sizes) kept += size;
  }
  EXPECT_GT(all.refused, 0) << "the limit was never reached";
  EXPECT_GT(highest, kLimit / 2);
  const auto report = ReadStat(port);
  EXPECT_EQ(StatValue(report, "X-Memory-Total"), kept);
  EXPECT_EQ(StatValue(report, "X-Counter-CMD-Set-OK"),
            static_cast<uint64_t>(all.stored));
  EXPECT_EQ(StatValue(report, "X-Counter-CMD-Set-NoMemory"),
            static_cast<uint64_t>(all.refused));
  // Everything deleted, nothing is left charged.
  for (int t = 0; t < kThreads; ++t) {
    for (const auto& [name, size] : tallies[t].sizes)
      EXPECT_EQ(StatusOf(port, MakeRequest("DELETE", "/" + name)), 200) << name;
  }
  EXPECT_EQ(StatValue(ReadStat(port), "X-Memory-Total"), 0u);
}

}  // namespace
}  // namespace pendrakel::testing
