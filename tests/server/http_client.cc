#include "tests/server/http_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>

namespace pendrakel::testing {
namespace {

namespace http = boost::beast::http;
using Clock = std::chrono::steady_clock;

constexpr uint64_t kBodyLimitBytes = 256ull * 1024 * 1024;

}  // namespace

std::optional<std::string> HttpResponse::Header(const std::string& name) const {
  size_t start = 0;
  while (start < head.size()) {
    size_t end = head.find("\r\n", start);
    if (end == std::string::npos) end = head.size();
    const std::string line = head.substr(start, end - start);
    const size_t colon = line.find(':');
    if (colon == name.size() &&
        strncasecmp(line.data(), name.data(), name.size()) == 0) {
      const size_t value = line.find_first_not_of(' ', colon + 1);
      return value == std::string::npos ? "" : line.substr(value);
    }
    start = end + 2;
  }
  return std::nullopt;
}

bool ConnectToLoopback(int fd, int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) ==
         0;
}

HttpClient::HttpClient(int port) {
  fd_ = socket(AF_INET, SOCK_STREAM, 0);
  if (fd_ >= 0 && !ConnectToLoopback(fd_, port)) {
    close(fd_);
    fd_ = -1;
  }
}

HttpClient::~HttpClient() { Close(); }

bool SendAll(int fd, std::string_view bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n =
        send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

bool HttpClient::Send(const std::string& bytes) { return SendAll(fd_, bytes); }

bool HttpClient::Fill(std::chrono::milliseconds limit) {
  pollfd entry{fd_, POLLIN, 0};
  if (poll(&entry, 1, static_cast<int>(limit.count())) <= 0) return false;
  char buffer[65536];
  const ssize_t got = recv(fd_, buffer, sizeof buffer, 0);
  if (got <= 0) return false;
  pending_.append(buffer, static_cast<size_t>(got));
  return true;
}

std::optional<HttpResponse> HttpClient::Read(bool head_request,
                                             std::chrono::milliseconds limit) {
  if (fd_ < 0) return std::nullopt;
  http::response_parser<http::string_body> parser;
  parser.body_limit(kBodyLimitBytes);
  parser.skip(head_request);
  parser.eager(true);
  const auto end = Clock::now() + limit;
  for (;;) {
    boost::beast::error_code ec;
    if (!pending_.empty()) {
      const size_t used =
          parser.put(boost::asio::buffer(pending_.data(), pending_.size()), ec);
      pending_.erase(0, used);
    }
    if (parser.is_done()) break;
    if (ec && ec != http::error::need_more) return std::nullopt;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - Clock::now());
    if (left.count() <= 0) return std::nullopt;
    if (!Fill(left)) {
      // A body delimited by the close of the connection ends here.
      if (!parser.is_header_done()) return std::nullopt;
      parser.put_eof(ec);
      if (ec || !parser.is_done()) return std::nullopt;
      break;
    }
  }
  const auto& message = parser.get();
  HttpResponse response;
  response.status = static_cast<int>(message.result_int());
  response.status_line = "HTTP/" + std::to_string(message.version() / 10) +
                         "." + std::to_string(message.version() % 10) + " " +
                         std::to_string(response.status) + " " +
                         std::string(message.reason());
  for (const auto& field : message) {
    response.head += std::string(field.name_string()) + ": " +
                     std::string(field.value()) + "\r\n";
  }
  response.body = message.body();
  return response;
}

bool HttpClient::ClosedWithin(std::chrono::milliseconds limit) {
  const auto end = Clock::now() + limit;
  while (Clock::now() < end) {
    pollfd entry{fd_, POLLIN, 0};
    if (poll(&entry, 1, 50) <= 0) continue;
    char buffer[65536];
    const ssize_t got = recv(fd_, buffer, sizeof buffer, 0);
    if (got <= 0) return true;
  }
  return false;
}

void HttpClient::Close(bool abort) {
  if (fd_ < 0) return;
  if (abort) {
    linger option{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &option, sizeof option);
  }
  close(fd_);
  fd_ = -1;
}

std::string MakeRequest(const std::string& method, const std::string& target,
                        const std::string& headers, const std::string& body) {
  std::string request =
      method + " " + target + " HTTP/1.1\r\nHost: test\r\n" + headers;
  if (!body.empty())
    request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  return request + "\r\n" + body;
}

std::optional<HttpResponse> Exchange(int port, const std::string& request,
                                     bool head_request) {
  HttpClient client(port);
  if (!client.Send(request)) return std::nullopt;
  return client.Read(head_request);
}

}  // namespace pendrakel::testing
