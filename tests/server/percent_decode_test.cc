#include "server/http/percent_decode.h"

#include <gtest/gtest.h>

namespace pendrakel::server {
namespace {

std::string Decoded(std::string_view in) {
  std::string out;
  EXPECT_EQ(PercentDecode(in, out), DecodeResult::kOk) << in;
  return out;
}

TEST(PercentDecode, EscapesBecomeBytesAndEverythingElseStays) {
  EXPECT_EQ(Decoded("/a%20b"), "/a b");
  EXPECT_EQ(Decoded("/%41%4a%4A%7e"), "/AJJ~");
  EXPECT_EQ(Decoded("/a+b"), "/a+b");
  EXPECT_EQ(Decoded("/%C3%A9t%C3%A9"), "/\xC3\xA9t\xC3\xA9");
  EXPECT_EQ(Decoded("/%2525"), "/%25");  // decoded once only
  EXPECT_EQ(Decoded(""), "");
}

TEST(PercentDecode, MalformedEscapesAndNulAreRefused) {
  for (std::string_view bad : {"/a%", "/a%4", "/a%zz", "/%g0", "%"}) {
    std::string out;
    EXPECT_EQ(PercentDecode(bad, out), DecodeResult::kMalformedEscape) << bad;
  }
  std::string out;
  EXPECT_EQ(PercentDecode("/a%00b", out), DecodeResult::kNulByte);
}

}  // namespace
}  // namespace pendrakel::server
