// End-to-end tests of pendrakel-host with the echo test module: the real
// host process on a free loopback port, spoken to over raw sockets.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <string>
#include <thread>

#include "tests/server/host_process.h"
#include "tests/server/http_client.h"

namespace pendrakel::testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

std::unique_ptr<HostProcess> StartEcho(std::vector<std::string> extra = {}) {
  extra.insert(extra.begin(), {"--module", PENDRAKEL_ECHO_MODULE});
  std::string failure;
  auto host = HostProcess::Start(extra, &failure);
  EXPECT_TRUE(host) << failure;
  return host;
}

// The value of "key=..." in an echo answer (the rest of it for "body").
std::string Echoed(const HttpResponse& response, const std::string& key) {
  const std::string& text = response.body;
  const std::string marker = key + "=";
  size_t at = text.compare(0, marker.size(), marker) == 0
                  ? 0
                  : text.find("\n" + marker);
  if (at == std::string::npos) return "<absent>";
  if (at != 0) ++at;
  const size_t start = at + marker.size();
  if (key == "body") return text.substr(start);
  return text.substr(start, text.find('\n', start) - start);
}

TEST(HostEcho, RequestReachesTheExtensionAsSent) {
  auto host = StartEcho();
  ASSERT_TRUE(host);
  const auto response = Exchange(
      host->port(),
      MakeRequest("GET", "/a%20b/%7Ec?x=%20y&z", "Content-Type: text/x\r\n"));
  ASSERT_TRUE(response);
  EXPECT_EQ(response->status_line, "HTTP/1.1 200 OK(Echo)");
  EXPECT_TRUE(response->Header("Date"));
  EXPECT_EQ(Echoed(*response, "method"), "GET");
  EXPECT_EQ(Echoed(*response, "path"), "/a b/~c");
  EXPECT_EQ(Echoed(*response, "query"), "x=%20y&z");
  EXPECT_EQ(Echoed(*response, "content-type"), "text/x");
  EXPECT_EQ(Echoed(*response, "total"), "0");
  for (const std::string method : {"STAT", "NOOP", "get", "Post"}) {
    const auto answer = Exchange(host->port(), MakeRequest(method, "/"));
    ASSERT_TRUE(answer) << method;
    EXPECT_EQ(Echoed(*answer, "method"), method);
  }
}

TEST(HostEcho, ServerVariablesJoinFieldsAndKeepTheBufferRule) {
  auto host = StartEcho();
  ASSERT_TRUE(host);
  const auto response = Exchange(
      host->port(),
      MakeRequest("GET", "/",
                  "Cookie: a=1\r\nCookie: b=2\r\nX-Param-Name: key\r\n"
                  "X-Echo-Vars: HTTP_COOKIE,HTTP_COOKIE/8,HTTP_X_PARAM_NAME,"
                  "HTTP_NOPE,REQUEST_METHOD\r\n"));
  ASSERT_TRUE(response);
  const std::string& body = response->body;
  EXPECT_NE(body.find("var HTTP_COOKIE=a=1; b=2\n"), std::string::npos) << body;
  EXPECT_NE(body.find("var HTTP_COOKIE=(false, size=9)\n"), std::string::npos);
  EXPECT_NE(body.find("var HTTP_X_PARAM_NAME=key\n"), std::string::npos);
  EXPECT_NE(body.find("var HTTP_NOPE=(false, size=1024)\n"), std::string::npos);
  EXPECT_NE(body.find("var REQUEST_METHOD=GET\n"), std::string::npos);
}

TEST(HostEcho, KeepAliveAndPipelinedRequestsAreAnsweredInOrder) {
  auto host = StartEcho();
  ASSERT_TRUE(host);
  HttpClient client(host->port());
  constexpr int kRequests = 40;  // more than one batch of held-back answers
  std::string batch;
  for (int i = 0; i < kRequests; ++i)
    batch += MakeRequest("PUT", "/r" + std::to_string(i), "",
                         "b" + std::to_string(i));
  ASSERT_TRUE(client.Send(batch));
  for (int i = 0; i < kRequests; ++i) {
    const auto response = client.Read();
    ASSERT_TRUE(response) << i;
    EXPECT_EQ(Echoed(*response, "path"), "/r" + std::to_string(i));
    EXPECT_EQ(Echoed(*response, "body"), "b" + std::to_string(i));
    EXPECT_FALSE(response->Header("Connection"));
  }
  // Still open for one more.
  ASSERT_TRUE(client.Send(MakeRequest("GET", "/last")));
  const auto last = client.Read();
  ASSERT_TRUE(last);
  EXPECT_EQ(Echoed(*last, "path"), "/last");
}

TEST(HostEcho, ClientsThatAskForACloseGetOne) {
  auto host = StartEcho();
  ASSERT_TRUE(host);
  for (const std::string& request :
       {std::string("GET /old HTTP/1.0\r\n\r\n"),
        MakeRequest("GET", "/bye", "Connection: close\r\n")}) {
    HttpClient client(host->port());
    ASSERT_TRUE(client.Send(request + MakeRequest("GET", "/ignored")));
    const auto response = client.Read();
    ASSERT_TRUE(response) << request;
    EXPECT_EQ(response->status_line, "HTTP/1.1 200 OK(Echo)");
    EXPECT_EQ(response->Header("Connection"), "close");
    EXPECT_TRUE(client.ClosedWithin(seconds(5)));
  }
}

TEST(HostEcho, ExpectContinueIsAnsweredBeforeTheBodyIsSent) {
  auto host = StartEcho();
  ASSERT_TRUE(host);
  for (const size_t size : {size_t{5}, size_t{200000}}) {  // inline, upload
    HttpClient client(host->port());
    const std::string body(size, 'q');
    ASSERT_TRUE(
        client.Send("PUT /e HTTP/1.1\r\nHost: h\r\nExpect: 100-continue\r\n"
                    "Content-Length: " +
                    std::to_string(size) + "\r\n\r\n"));
    const auto interim = client.Read();
    ASSERT_TRUE(interim) << size;
    EXPECT_EQ(interim->status_line, "HTTP/1.1 100 Continue");
    ASSERT_TRUE(client.Send(body));
    const auto response = client.Read();
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, 200);
    EXPECT_EQ(Echoed(*response, "read"), "complete");
    EXPECT_EQ(Echoed(*response, "body"), body);
  }
}

TEST(HostEcho, ChunkedUploadArrivesDecodedWithItsLength) {
  auto host = StartEcho();
  ASSERT_TRUE(host);
  const auto response = Exchange(
      host->port(),
      "POST /set HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n"
      "6\r\nhello \r\n5\r\nworld\r\n0\r\n\r\n");
  ASSERT_TRUE(response);
  EXPECT_EQ(Echoed(*response, "total"), "11");
  EXPECT_EQ(Echoed(*response, "available"), "11");
  EXPECT_EQ(Echoed(*response, "body"), "hello world");
}

TEST(HostEcho, HeadAnswerCarriesNoBodyAndTheConnectionGoesOn) {
  auto host = StartEcho();
  ASSERT_TRUE(host);
  HttpClient client(host->port());
  ASSERT_TRUE(
      client.Send(MakeRequest("HEAD", "/h") + MakeRequest("GET", "/g")));
  const auto head = client.Read(/*head_request=*/true);
  ASSERT_TRUE(head);
  EXPECT_EQ(head->status, 200);
  EXPECT_NE(head->Header("Content-Length"), "0");
  EXPECT_EQ(head->body, "");
  const auto get = client.Read();
  ASSERT_TRUE(get);
  EXPECT_EQ(Echoed(*get, "path"), "/g");
}

TEST(HostEcho, LargeBodiesTravelBothWays) {
  auto host = StartEcho();
  ASSERT_TRUE(host);
  std::string body(1 << 20, '\0');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 7);
  HttpClient client(host->port());
  ASSERT_TRUE(client.Send(MakeRequest("PUT", "/big", "", body)));
  const auto stored = client.Read();
  ASSERT_TRUE(stored);
  EXPECT_EQ(Echoed(*stored, "available"), "49152");  // the default preload
  EXPECT_EQ(Echoed(*stored, "read"), "complete");
  EXPECT_TRUE(Echoed(*stored, "body") == body);
  ASSERT_TRUE(client.Send(MakeRequest("GET", "/?big=3000000")));
  const auto fetched = client.Read();
  ASSERT_TRUE(fetched);
  EXPECT_EQ(fetched->body, std::string(3000000, 'x'));
}

TEST(HostEcho, UnreadBodyIsDrainedOrTheConnectionClosed) {
  auto host = StartEcho({"--drain-limit", "300000"});
  ASSERT_TRUE(host);
  HttpClient client(host->port());
  ASSERT_TRUE(
      client.Send(MakeRequest("PUT", "/?noread", "", std::string(200000, 'u')) +
                  MakeRequest("GET", "/after")));
  const auto first = client.Read();
  ASSERT_TRUE(first);
  EXPECT_EQ(Echoed(*first, "read"), "incomplete");
  const auto after = client.Read();
  ASSERT_TRUE(after);
  EXPECT_EQ(Echoed(*after, "path"), "/after");

  HttpClient over(host->port());
  ASSERT_TRUE(
      over.Send(MakeRequest("PUT", "/?noread", "", std::string(400000, 'u'))));
  const auto answer = over.Read();
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->Header("Connection"), "close");
  EXPECT_TRUE(over.ClosedWithin(seconds(5)));
}

TEST(HostEcho, MissingHeadIs500AndMissingLengthCloses) {
  auto host = StartEcho();
  ASSERT_TRUE(host);
  HttpClient client(host->port());
  ASSERT_TRUE(client.Send(MakeRequest("GET", "/?nohead")));
  const auto missing = client.Read();
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->status_line, "HTTP/1.1 500 Internal Server Error");
  ASSERT_TRUE(client.Send(MakeRequest("GET", "/?nolength")));
  const auto unframed = client.Read();  // delimited by the close
  ASSERT_TRUE(unframed);
  EXPECT_EQ(unframed->Header("Connection"), "close");
  EXPECT_EQ(Echoed(*unframed, "path"), "/");
}

// Sends `request` and expects exactly `status` and then the close, with
// nothing answered for whatever followed the bad request.
void ExpectRefusal(int port, const std::string& request, int status) {
  HttpClient client(port);
  ASSERT_TRUE(client.Send(request));
  const auto response = client.Read();
  ASSERT_TRUE(response) << request.substr(0, 80);
  EXPECT_EQ(response->status, status) << request.substr(0, 80);
  EXPECT_EQ(response->Header("Connection"), "close");
  EXPECT_TRUE(client.ClosedWithin(seconds(5)));
}

TEST(HostEcho, OversizeRequestsAre413Or431AndClose) {
  auto host = StartEcho({"--max-body", "1000"});
  ASSERT_TRUE(host);
  ExpectRefusal(host->port(),
                "PUT / HTTP/1.1\r\nHost: h\r\nContent-Length: 1001\r\n\r\n",
                413);
  ExpectRefusal(
      host->port(),
      "PUT / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n"
      "400\r\n" +
          std::string(1024, 'c') + "\r\n0\r\n\r\n",
      413);
  ExpectRefusal(
      host->port(),
      MakeRequest("GET", "/", "X-Big: " + std::string(20000, 'h') + "\r\n"),
      431);
  const auto fine = Exchange(
      host->port(), MakeRequest("PUT", "/", "", std::string(1000, 'k')));
  ASSERT_TRUE(fine);
  EXPECT_EQ(fine->status, 200);
}

TEST(HostEcho, MalformedAndSmugglingRequestsAre400AndClose) {
  auto host = StartEcho();
  ASSERT_TRUE(host);
  const std::string smuggled = MakeRequest("GET", "/smuggled");
  const std::string cases[] = {
      "POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 4\r\n"
      "Transfer-Encoding: chunked\r\n\r\n0\r\n\r\n" +
          smuggled,
      "POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n"
      "Content-Length: 4\r\n\r\n0\r\n\r\n" +
          smuggled,
      "POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: identity\r\n\r\n" +
          smuggled,
      "POST / HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n" +
          smuggled,
      "POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 5\r\nContent-Length: "
      "6\r\n\r\n" +
          smuggled,
      "POST / HTTP/1.1\r\nHost: h\r\nContent-Length: +5\r\n\r\n" + smuggled,
      "POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n"
      "5x\r\nhello\r\n0\r\n\r\n" +
          smuggled,
      "GET /%zz HTTP/1.1\r\nHost: h\r\n\r\n" + smuggled,
      "GET /a%00 HTTP/1.1\r\nHost: h\r\n\r\n" + smuggled,
      "GET / HTTP/1.1\r\n\r\n" + smuggled,
      "GET / HTTP/1.1\r\nHost: u@h\r\n\r\n" + smuggled,
      "GET / HTTP/1.1\r\nHost: h\r\nX: a\r\n b\r\n\r\n" + smuggled,
      "POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n"
      "0\r\nT: t\n\n",
      "\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03\r\n\r\n",
  };
  for (const std::string& request : cases)
    ExpectRefusal(host->port(), request, 400);
}

TEST(HostEcho, SlowUploaderDoesNotHoldUpOtherClients) {
  auto host = StartEcho({"--threads", "1"});
  ASSERT_TRUE(host);
  HttpClient slow(host->port());
  const std::string body(1 << 20, 's');
  const std::string request = MakeRequest("PUT", "/slow", "", body);
  const size_t head_and_part = request.size() - body.size() + 100000;
  ASSERT_TRUE(slow.Send(request.substr(0, head_and_part)));
  std::this_thread::sleep_for(milliseconds(200));  // let it park in ReadClient
  HttpClient other(host->port());
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(other.Send(MakeRequest("PUT", "/quick", "", "q")));
    const auto response = other.Read(false, seconds(5));
    ASSERT_TRUE(response) << i;
    EXPECT_EQ(Echoed(*response, "body"), "q");
  }
  ASSERT_TRUE(slow.Send(request.substr(head_and_part)));
  const auto done = slow.Read();
  ASSERT_TRUE(done);
  EXPECT_TRUE(Echoed(*done, "body") == body);
}

TEST(HostEcho, ClientVanishingMidBodyLeavesTheHostServing) {
  auto host = StartEcho();
  ASSERT_TRUE(host);
  for (const bool reset : {false, true}) {
    HttpClient gone(host->port());
    ASSERT_TRUE(
        gone.Send(MakeRequest("PUT", "/gone", "", std::string(1 << 20, 'g'))
                      .substr(0, 300000)));
    gone.Close(reset);
  }
  const auto response = Exchange(host->port(), MakeRequest("GET", "/still"));
  ASSERT_TRUE(response);
  EXPECT_EQ(Echoed(*response, "path"), "/still");
}

TEST(HostEcho, SlowHeadsAndIdleConnectionsAreClosed) {
  auto host = StartEcho({"--head-timeout", "1", "--idle-timeout", "1"});
  ASSERT_TRUE(host);
  HttpClient partial(host->port());
  ASSERT_TRUE(partial.Send("GET / HTTP/1.1\r\nHost: h\r\n"));
  const auto timeout = partial.Read(false, seconds(10));
  ASSERT_TRUE(timeout);
  EXPECT_EQ(timeout->status, 408);
  HttpClient silent(host->port());
  EXPECT_TRUE(silent.ClosedWithin(seconds(10)));
  HttpClient idle(host->port());
  ASSERT_TRUE(idle.Send(MakeRequest("GET", "/")));
  ASSERT_TRUE(idle.Read());
  EXPECT_TRUE(idle.ClosedWithin(seconds(10)));
}

TEST(HostEcho, SilentUploadersAreCutAfterTheReadTimeout) {
  auto host = StartEcho({"--read-timeout", "1"});
  ASSERT_TRUE(host);
  // Past the preload: ReadClient gives up, and the client hears why.
  HttpClient reading(host->port());
  const std::string request =
      MakeRequest("PUT", "/r", "", std::string(100000, 'r'));
  ASSERT_TRUE(reading.Send(request.substr(0, request.size() - 30000)));
  const auto answer = reading.Read(false, seconds(10));
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->status, 408);
  EXPECT_EQ(answer->Header("Connection"), "close");
  // Within the preload: the host closes without calling the extension.
  HttpClient preloading(host->port());
  ASSERT_TRUE(preloading.Send(
      MakeRequest("PUT", "/p", "", std::string(1000, 'p')).substr(0, 500)));
  EXPECT_TRUE(preloading.ClosedWithin(seconds(10)));
}

TEST(HostEcho, ConnectionsPastTheLimitAreTurnedAway) {
  auto host = StartEcho({"--max-connections", "2"});
  ASSERT_TRUE(host);
  HttpClient first(host->port());
  HttpClient second(host->port());
  for (HttpClient* client : {&first, &second}) {
    ASSERT_TRUE(client->Send(MakeRequest("GET", "/")));
    ASSERT_TRUE(client->Read());
  }
  const auto refused = Exchange(host->port(), MakeRequest("GET", "/"));
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 503);
  first.Close();
  // The slot comes back once the host has seen the close.
  std::optional<HttpResponse> later;
  for (int attempt = 0; attempt < 250; ++attempt) {
    later = Exchange(host->port(), MakeRequest("GET", "/"));
    if (later && later->status == 200) break;
    std::this_thread::sleep_for(milliseconds(20));
  }
  ASSERT_TRUE(later);
  EXPECT_EQ(later->status, 200);
}

TEST(HostEcho, SigtermLetsRequestsFinishThenTerminatesTheExtension) {
  auto host = StartEcho();
  ASSERT_TRUE(host);
  HttpClient busy(host->port());
  HttpClient idle(host->port());
  ASSERT_TRUE(busy.Send(MakeRequest("GET", "/?sleep=700")));
  std::this_thread::sleep_for(milliseconds(200));
  std::thread stopper([&host] {
    const HostExit exit = host->Stop(SIGTERM, seconds(15));
    EXPECT_EQ(exit.exit_code, 0) << exit.err;
    EXPECT_NE(exit.out.find("echo: terminated"), std::string::npos) << exit.out;
    EXPECT_EQ(exit.err, "");
  });
  const auto response = busy.Read();
  EXPECT_TRUE(busy.ClosedWithin(seconds(10)));
  EXPECT_TRUE(idle.ClosedWithin(seconds(10)));
  stopper.join();
  ASSERT_TRUE(response);
  EXPECT_EQ(response->status, 200);
}

TEST(HostEcho, SigtermCutsAStalledUploadAfterTheGrace) {
  auto host = StartEcho({"--shutdown-grace", "1"});
  ASSERT_TRUE(host);
  HttpClient stalled(host->port());
  const std::string request =
      MakeRequest("PUT", "/stalled", "", std::string(200000, 's'));
  ASSERT_TRUE(stalled.Send(request.substr(0, 100000)));  // past the preload
  std::this_thread::sleep_for(milliseconds(200));
  const HostExit exit = host->Stop(SIGTERM, seconds(15));
  EXPECT_EQ(exit.exit_code, 0) << exit.err;
  EXPECT_NE(exit.out.find("echo: terminated"), std::string::npos);
  EXPECT_TRUE(stalled.ClosedWithin(seconds(5)));
}

TEST(HostEcho, SigintOnAnIdleHostExitsZero) {
  auto host = StartEcho();
  ASSERT_TRUE(host);
  const HostExit exit = host->Stop(SIGINT, seconds(10));
  EXPECT_EQ(exit.exit_code, 0) << exit.err;
}

// ---- start-up failures ----

void ExpectStartupError(const std::vector<std::string>& args,
                        const std::vector<std::string>& mentions) {
  const HostExit exit = RunHostToExit(args, seconds(10));
  EXPECT_EQ(exit.exit_code, 1) << exit.err;
  EXPECT_EQ(exit.out, "");
  ASSERT_FALSE(exit.err.empty());
  EXPECT_EQ(exit.err.find('\n'), exit.err.size() - 1) << exit.err;
  for (const std::string& text : mentions)
    EXPECT_NE(exit.err.find(text), std::string::npos) << exit.err;
}

TEST(HostStartup, ModuleFailuresAreOneLineAndExitOne) {
  const std::string refusing = PENDRAKEL_REFUSING_MODULE;
  const std::string folder = refusing.substr(0, refusing.rfind('/'));
  ExpectStartupError({"--listen", "127.0.0.1:0", "--module", refusing},
                     {refusing, "refused", folder + "/Pendrakel.setting"});
  ExpectStartupError(
      {"--listen", "127.0.0.1:0", "--module", PENDRAKEL_INCOMPLETE_MODULE},
      {PENDRAKEL_INCOMPLETE_MODULE, "lacks the entry point HttpExtensionProc"});
  ExpectStartupError(
      {"--listen", "127.0.0.1:0", "--module", "/nonexistent/m.so"},
      {"cannot load module /nonexistent/m.so"});
}

TEST(HostStartup, PortInUseIsOneLineAndExitOne) {
  auto host = StartEcho();
  ASSERT_TRUE(host);
  const std::string address = "127.0.0.1:" + std::to_string(host->port());
  ExpectStartupError({"--listen", address, "--module", PENDRAKEL_ECHO_MODULE},
                     {"cannot listen on " + address});
}

}  // namespace
}  // namespace pendrakel::testing
