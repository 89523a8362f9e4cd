// HttpClient: a raw loopback TCP connection for end-to-end tests. Requests
// are sent as exact bytes (so malformed and hostile ones can be written);
// responses are parsed with Boost.Beast's response parser. Every wait is
// bounded by a time-out, so a misbehaving host fails a test instead of
// hanging it.
#ifndef PENDRAKEL_TESTS_SERVER_HTTP_CLIENT_H_
#define PENDRAKEL_TESTS_SERVER_HTTP_CLIENT_H_

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace pendrakel::testing {

struct HttpResponse {
  std::string status_line;  // without CR LF, e.g. "HTTP/1.1 200 OK(Echo)"
  std::string head;         // the raw header lines after the status line
  std::string body;
  int status = 0;
  // The value of the first header `name` (case-insensitive), or nothing.
  std::optional<std::string> Header(const std::string& name) const;
};

// Connects the socket `fd` to 127.0.0.1:`port`; false when that fails.
bool ConnectToLoopback(int fd, int port);

// Sends all of `bytes` on the socket `fd`; false when the connection fails.
bool SendAll(int fd, std::string_view bytes);

class HttpClient {
 public:
  explicit HttpClient(int port);
  ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  bool connected() const { return fd_ >= 0; }
  bool Send(const std::string& bytes);
  // The next response; nothing on time-out, close or a malformed response.
  // A response to HEAD has no body: pass `head_request`.
  std::optional<HttpResponse> Read(
      bool head_request = false,
      std::chrono::milliseconds limit = std::chrono::seconds(10));
  // True when the host closes the connection within `limit` (whatever it
  // still sends first is dropped).
  bool ClosedWithin(std::chrono::milliseconds limit);
  // Closes at once, with a reset when `abort` is set.
  void Close(bool abort = false);

 private:
  bool Fill(std::chrono::milliseconds limit);
  int fd_ = -1;
  std::string pending_;
};

// "METHOD target HTTP/1.1", Host, the extra header lines (each ending in
// CR LF), Content-Length when `body` is not empty, then the body.
std::string MakeRequest(const std::string& method, const std::string& target,
                        const std::string& headers = "",
                        const std::string& body = "");

// One request on a fresh connection.
std::optional<HttpResponse> Exchange(int port, const std::string& request,
                                     bool head_request = false);

}  // namespace pendrakel::testing

#endif  // PENDRAKEL_TESTS_SERVER_HTTP_CLIENT_H_
