#include "server/http/response_head.h"

#include <gtest/gtest.h>

namespace pendrakel::server {
namespace {

// The head without its Date line, which changes every second.
std::string HeadWithoutDate(const char* status, const char* block, bool close) {
  std::string out;
  AppendResponseHead(out, status, block, close);
  const size_t date = out.find("Date: ");
  EXPECT_NE(date, std::string::npos);
  const size_t end = out.find("\r\n", date);
  EXPECT_EQ(end - date, 35u);  // "Date: Sun, 06 Nov 1994 08:49:37 GMT"
  out.erase(date, end + 2 - date);
  return out;
}

TEST(ResponseHead, StatusTextAndBlockPassUnchanged) {
  EXPECT_EQ(HeadWithoutDate("404 Not Found(Pendrakel)",
                            "Content-Length: 0\r\n\r\n", false),
            "HTTP/1.1 404 Not Found(Pendrakel)\r\nContent-Length: 0\r\n\r\n");
  EXPECT_EQ(HeadWithoutDate("200 OK(x)", "\r\n", true),
            "HTTP/1.1 200 OK(x)\r\nConnection: close\r\n\r\n");
}

TEST(ResponseHead, BadStatusTextsAndOpenBlocksAreMended) {
  EXPECT_EQ(HeadWithoutDate(nullptr, nullptr, false),
            "HTTP/1.1 200 OK\r\n\r\n");
  EXPECT_EQ(HeadWithoutDate("200 OK\r\nX-Evil: 1", "A: b\r\n", false),
            "HTTP/1.1 200 OK\r\nA: b\r\n\r\n");
  EXPECT_EQ(HeadWithoutDate("204 None", "A: b", false),
            "HTTP/1.1 204 None\r\nA: b\r\n\r\n");
  EXPECT_EQ(HeadWithoutDate("200 OK", "", false), "HTTP/1.1 200 OK\r\n\r\n");
}

TEST(ResponseHead, BlockFactsGiveLengthAndClose) {
  EXPECT_EQ(ReadHeaderBlock("content-length: 12\r\n\r\n").content_length, 12u);
  EXPECT_EQ(ReadHeaderBlock("Content-Length:7\r\nContent-Length: 7\r\n\r\n")
                .content_length,
            7u);
  EXPECT_FALSE(ReadHeaderBlock("X: y\r\n\r\n").content_length);
  EXPECT_FALSE(ReadHeaderBlock("Content-Length: 7\r\nContent-Length: 8\r\n\r\n")
                   .content_length);
  EXPECT_FALSE(ReadHeaderBlock("Content-Length: seven\r\n\r\n").content_length);
  EXPECT_FALSE(ReadHeaderBlock("Content-Length: 3\r\n"
                               "Transfer-Encoding: chunked\r\n\r\n")
                   .content_length);
  EXPECT_TRUE(ReadHeaderBlock("Connection: keep-alive, Close\r\n\r\n")
                  .connection_close);
  EXPECT_FALSE(ReadHeaderBlock("Connection: closed\r\n\r\n").connection_close);
}

TEST(ResponseHead, StatusCodesWithoutBody) {
  EXPECT_EQ(StatusCode("204 No Content(Pendrakel)"), 204);
  EXPECT_EQ(StatusCode("OK"), 0);
  EXPECT_TRUE(StatusHasNoBody(204));
  EXPECT_TRUE(StatusHasNoBody(304));
  EXPECT_TRUE(StatusHasNoBody(100));
  EXPECT_FALSE(StatusHasNoBody(200));
  EXPECT_FALSE(StatusHasNoBody(404));
}

}  // namespace
}  // namespace pendrakel::server
