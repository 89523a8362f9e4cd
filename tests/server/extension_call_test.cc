#include "server/io/extension_call.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "server/limits.h"
#include "tests/server/intake_driver.h"

namespace pendrakel::server {
namespace {

// A client whose rest of body is `rest` and which records what is sent.
class RecordingChannel final : public ClientChannel {
 public:
  size_t ReadBody(void* buffer, size_t size) override {
    const size_t take = std::min(size, rest.size());
    std::memcpy(buffer, rest.data(), take);
    rest.erase(0, take);
    return take;
  }
  HttpError ReadFailure() const override { return failure; }
  bool SendThrough(std::string& pending, const void* data,
                   size_t size) override {
    if (gone) return false;
    sent += pending;
    pending.clear();
    sent.append(static_cast<const char*>(data), size);
    return true;
  }

  std::string rest;
  std::string sent;
  bool gone = false;
  HttpError failure = HttpError::kNone;
};

// The extension under test: a function set by each test.
std::function<void(EXTENSION_CONTROL_BLOCK*)> gBehaviour;

DWORD TestProc(EXTENSION_CONTROL_BLOCK* ecb) {
  gBehaviour(ecb);
  return HSE_STATUS_SUCCESS;
}

BOOL SendHead(EXTENSION_CONTROL_BLOCK* ecb, const char* status,
              std::string block) {
  return ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_SEND_RESPONSE_HEADER,
                                    const_cast<char*>(status), nullptr,
                                    reinterpret_cast<DWORD*>(block.data()));
}

BOOL Write(EXTENSION_CONTROL_BLOCK* ecb, std::string bytes) {
  DWORD size = static_cast<DWORD>(bytes.size());
  return ecb->WriteClient(ecb->ConnID, bytes.data(), &size, HSE_IO_SYNC);
}

std::string WithoutDate(std::string text) {
  const size_t date = text.find("Date: ");
  if (date != std::string::npos)
    text.erase(date, text.find("\r\n", date) + 2 - date);
  return text;
}

class ExtensionCallTest : public ::testing::Test {
 protected:
  // Runs the extension on `request`; returns whether the host must close.
  bool Run(const std::string& request, uint64_t drain_limit = 1000) {
    testing::Drive(intake_, request, testing::kWhole);
    return call_
        .Run(&TestProc, intake_, out_, channel_, CallPolicy{false, drain_limit})
        .must_close;
  }

  RequestIntake intake_{IntakeLimits{4096, 1 << 20, 4}};
  ExtensionCall call_;
  RecordingChannel channel_;
  std::string out_;
};

const char kGet[] = "GET /k HTTP/1.1\r\nHost: h\r\n\r\n";

TEST_F(ExtensionCallTest, HeadAndSmallBodyShareTheOutputBuffer) {
  gBehaviour = [](EXTENSION_CONTROL_BLOCK* ecb) {
    SendHead(ecb, "200 OK(x)", "Content-Length: 5\r\n\r\n");
    EXPECT_TRUE(Write(ecb, "hello"));
  };
  EXPECT_FALSE(Run(kGet));
  EXPECT_EQ(WithoutDate(out_),
            "HTTP/1.1 200 OK(x)\r\nContent-Length: 5\r\n\r\nhello");
  EXPECT_EQ(channel_.sent, "");
}

TEST_F(ExtensionCallTest, LargeBodyLeavesWithTheHeadInOneGatherWrite) {
  const std::string big(kCoalesceBodyBytes + 1, 'z');
  gBehaviour = [&big](EXTENSION_CONTROL_BLOCK* ecb) {
    SendHead(ecb, "200 OK",
             "Content-Length: " + std::to_string(big.size()) + "\r\n\r\n");
    EXPECT_TRUE(Write(ecb, big));
  };
  EXPECT_FALSE(Run(kGet));
  EXPECT_EQ(out_, "");
  EXPECT_EQ(WithoutDate(channel_.sent),
            "HTTP/1.1 200 OK\r\nContent-Length: 16385\r\n\r\n" + big);
}

TEST_F(ExtensionCallTest, HeadRequestAndNoContentStatusCarryNoBody) {
  gBehaviour = [](EXTENSION_CONTROL_BLOCK* ecb) {
    SendHead(ecb, "200 OK", "Content-Length: 5\r\n\r\n");
    EXPECT_TRUE(Write(ecb, "hello"));
  };
  EXPECT_FALSE(Run("HEAD /k HTTP/1.1\r\nHost: h\r\n\r\n"));
  EXPECT_EQ(WithoutDate(out_), "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n");

  out_.clear();
  intake_.Start();
  gBehaviour = [](EXTENSION_CONTROL_BLOCK* ecb) {
    SendHead(ecb, "204 No Content", "\r\n");
    Write(ecb, "junk");
  };
  EXPECT_FALSE(Run(kGet));
  EXPECT_EQ(WithoutDate(out_), "HTTP/1.1 204 No Content\r\n\r\n");
}

TEST_F(ExtensionCallTest, MissingHeadGives500AndEarlyWritesFail) {
  gBehaviour = [](EXTENSION_CONTROL_BLOCK* ecb) {
    EXPECT_FALSE(Write(ecb, "early"));
  };
  EXPECT_FALSE(Run(kGet));
  EXPECT_EQ(out_,
            "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\n\r\n");
}

TEST_F(ExtensionCallTest, SecondHeadIsRefused) {
  gBehaviour = [](EXTENSION_CONTROL_BLOCK* ecb) {
    EXPECT_TRUE(SendHead(ecb, "200 OK", "Content-Length: 0\r\n\r\n"));
    EXPECT_FALSE(SendHead(ecb, "500 Again", "Content-Length: 0\r\n\r\n"));
  };
  EXPECT_FALSE(Run(kGet));
  EXPECT_EQ(out_.find("Again"), std::string::npos);
}

TEST_F(ExtensionCallTest, UnframedOrOverlongBodiesCloseTheConnection) {
  gBehaviour = [](EXTENSION_CONTROL_BLOCK* ecb) {
    SendHead(ecb, "200 OK", "X: y\r\n\r\n");
    Write(ecb, "abc");
  };
  EXPECT_TRUE(Run(kGet));
  EXPECT_EQ(WithoutDate(out_),
            "HTTP/1.1 200 OK\r\nConnection: close\r\nX: y\r\n\r\nabc");

  out_.clear();
  intake_.Start();
  gBehaviour = [](EXTENSION_CONTROL_BLOCK* ecb) {
    SendHead(ecb, "200 OK", "Content-Length: 2\r\n\r\n");
    Write(ecb, "abcdef");
  };
  EXPECT_TRUE(Run(kGet));
  EXPECT_EQ(WithoutDate(out_),
            "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nab");

  out_.clear();
  intake_.Start();
  gBehaviour = [](EXTENSION_CONTROL_BLOCK* ecb) {
    SendHead(ecb, "200 OK", "Content-Length: 9\r\n\r\n");
    Write(ecb, "short");
  };
  EXPECT_TRUE(Run(kGet));
}

TEST_F(ExtensionCallTest, ReadClientDeliversTheRestThenEnds) {
  channel_.rest = "efghij";
  std::string body;
  gBehaviour = [&body](EXTENSION_CONTROL_BLOCK* ecb) {
    EXPECT_EQ(ecb->cbTotalBytes, 10u);
    EXPECT_EQ(ecb->cbAvailable, 4u);
    body.assign(reinterpret_cast<char*>(ecb->lpbData), ecb->cbAvailable);
    char piece[4];
    DWORD size = sizeof piece;
    while (ecb->ReadClient(ecb->ConnID, piece, &size) && size > 0) {
      body.append(piece, size);
      size = sizeof piece;
    }
    EXPECT_EQ(size, 0u);
    SendHead(ecb, "200 OK", "Content-Length: 0\r\n\r\n");
  };
  EXPECT_FALSE(Run(
      "PUT /k HTTP/1.1\r\nHost: h\r\nContent-Length: 10\r\n\r\nabcdefghij"));
  EXPECT_EQ(body, "abcdefghij");
  EXPECT_EQ(intake_.unread_bytes(), 0u);
}

TEST_F(ExtensionCallTest, ClientGoneMidBodyFailsTheReadAndCloses) {
  channel_.rest = "ef";  // the client vanishes after two more bytes
  gBehaviour = [](EXTENSION_CONTROL_BLOCK* ecb) {
    char piece[16];
    DWORD size = sizeof piece;
    EXPECT_TRUE(ecb->ReadClient(ecb->ConnID, piece, &size));
    EXPECT_EQ(size, 2u);
    size = sizeof piece;
    EXPECT_FALSE(ecb->ReadClient(ecb->ConnID, piece, &size));
    EXPECT_EQ(size, 0u);
    SendHead(ecb, "500 Failed", "Content-Length: 0\r\n\r\n");
  };
  // Only 14 body bytes stay unread, well within the drain limit, but the
  // client is gone: the head announces the close.
  EXPECT_TRUE(
      Run("PUT /k HTTP/1.1\r\nHost: h\r\nContent-Length: 20\r\n\r\nabcd"));
  EXPECT_NE(out_.find("Connection: close\r\n"), std::string::npos);
}

}  // namespace
}  // namespace pendrakel::server
