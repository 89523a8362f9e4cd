#include "server/http/http_error.h"

#include <array>
#include <string>

namespace pendrakel::server {
namespace {

constexpr size_t kErrorCount = static_cast<size_t>(HttpError::kNoResponse) + 1;

std::string Closing(std::string_view status, std::string_view text) {
  return "HTTP/1.1 " + std::string(status) +
         "\r\nContent-Type: text/plain\r\nContent-Length: " +
         std::to_string(text.size()) + "\r\nConnection: close\r\n\r\n" +
         std::string(text);
}

std::array<std::string, kErrorCount> BuildResponses() {
  std::array<std::string, kErrorCount> responses;
  auto set = [&responses](HttpError error, std::string text) {
    responses[static_cast<size_t>(error)] = std::move(text);
  };
  set(HttpError::kBadRequest, Closing("400 Bad Request", "bad request\n"));
  set(HttpError::kRequestTimeout,
      Closing("408 Request Timeout", "request timeout\n"));
  set(HttpError::kBodyTooLarge,
      Closing("413 Content Too Large", "request body too large\n"));
  set(HttpError::kHeadTooLarge, Closing("431 Request Header Fields Too Large",
                                        "request head too large\n"));
  set(HttpError::kNotImplemented,
      Closing("501 Not Implemented", "transfer coding not supported\n"));
  set(HttpError::kUnavailable,
      Closing("503 Service Unavailable", "too many connections\n"));
  set(HttpError::kUploadsBusy,
      Closing("503 Service Unavailable", "too many uploads in progress\n"));
  set(HttpError::kNoMemory,
      Closing("503 Service Unavailable", "out of memory\n"));
  set(HttpError::kNoResponse,
      "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\n\r\n");
  return responses;
}

}  // namespace

int ErrorStatus(HttpError error) {
  switch (error) {
    case HttpError::kBadRequest:
      return 400;
    case HttpError::kRequestTimeout:
      return 408;
    case HttpError::kBodyTooLarge:
      return 413;
    case HttpError::kHeadTooLarge:
      return 431;
    case HttpError::kNotImplemented:
      return 501;
    case HttpError::kUnavailable:
    case HttpError::kUploadsBusy:
    case HttpError::kNoMemory:
      return 503;
    case HttpError::kNone:
    case HttpError::kNoResponse:
      break;
  }
  return 500;
}

std::string_view ErrorResponse(HttpError error) {
  static const std::array<std::string, kErrorCount> responses =
      BuildResponses();
  return responses[static_cast<size_t>(error)];
}

}  // namespace pendrakel::server
