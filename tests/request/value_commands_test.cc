#include "request/value_commands.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "store/value_ref.h"
#include "store/values.h"
#include "store/values_ref.h"
#include "tests/failing_allocation.h"
#include "tests/request/request_test_util.h"

namespace pendrakel {
namespace {

using testing::CountersRisen;
using testing::CounterValues;
using testing::FakeRequest;
using testing::MakeRequest;
using testing::Op;
using testing::TestExtension;

enum class Given { kAbsent, kStored, kBudgetFull };

struct OutcomeRow {
  const char* label;
  bool commandForm;
  Op op;
  Given given;
  const char* status;
  std::vector<std::string> lines;
  const char* body;
  std::multiset<std::string> counters;
};

const OutcomeRow kRows[] = {
    {"read command found",
     true,
     Op::kGet,
     Given::kStored,
     "200 OK(Pendrakel)",
     {"x-result-code: 0", "x-result-reason: OK", "Content-Length: 5",
      "Content-Type: text/x-stored"},
     "hello",
     {"CmdGetOk", "CmdGet"}},
    {"read command not found",
     true,
     Op::kGet,
     Given::kAbsent,
     "200 OK(Pendrakel)",
     {"x-result-code: 1", "x-result-reason: Not Found", "Content-Length: 0"},
     "",
     {"CmdGetNotFound", "CmdGet"}},
    {"GET found",
     false,
     Op::kGet,
     Given::kStored,
     "200 OK(Pendrakel)",
     {"Content-Length: 5", "Content-Type: text/x-stored"},
     "hello",
     {"CmdGetOk", "CmdGet"}},
    {"HEAD found",
     false,
     Op::kHead,
     Given::kStored,
     "200 OK(Pendrakel)",
     {"Content-Length: 5", "Content-Type: text/x-stored"},
     "",
     {"CmdGetOk", "CmdGet"}},
    {"GET not found",
     false,
     Op::kGet,
     Given::kAbsent,
     "404 Not Found(Pendrakel)",
     {"Content-Length: 0"},
     "",
     {"CmdGetNotFound", "CmdGet"}},
    {"HEAD not found",
     false,
     Op::kHead,
     Given::kAbsent,
     "404 Not Found(Pendrakel)",
     {"Content-Length: 0"},
     "",
     {"CmdGetNotFound", "CmdGet"}},
    {"store command created",
     true,
     Op::kSet,
     Given::kAbsent,
     "200 OK(Pendrakel)",
     {"x-result-code: 0", "x-result-reason: OK", "Content-Length: 0"},
     "",
     {"ValueCreate", "CmdSetOk", "CmdSet"}},
    {"store command replaced",
     true,
     Op::kSet,
     Given::kStored,
     "200 OK(Pendrakel)",
     {"x-result-code: 0", "x-result-reason: OK", "Content-Length: 0"},
     "",
     {"ValueReplace", "CmdSetOk", "CmdSet"}},
    {"store command failed",
     true,
     Op::kSet,
     Given::kBudgetFull,
     "200 OK(Pendrakel)",
     {"x-result-code: 1", "x-result-reason: No Memory", "Content-Length: 0"},
     "",
     {"CmdSetNoMemory", "CmdSet"}},
    {"PUT created",
     false,
     Op::kSet,
     Given::kAbsent,
     "201 Created(Pendrakel)",
     {"Content-Length: 0"},
     "",
     {"ValueCreate", "CmdSetOk", "CmdSet"}},
    {"PUT replaced",
     false,
     Op::kSet,
     Given::kStored,
     "204 No Content(Pendrakel)",
     {"Content-Length: 0"},
     "",
     {"ValueReplace", "CmdSetOk", "CmdSet"}},
    {"PUT failed",
     false,
     Op::kSet,
     Given::kBudgetFull,
     "500 Internal Server Error(Pendrakel)",
     {"Content-Length: 0"},
     "",
     {"CmdSetNoMemory", "CmdSet"}},
    {"delete command removed",
     true,
     Op::kDel,
     Given::kStored,
     "200 OK(Pendrakel)",
     {"x-result-code: 0", "x-result-reason: OK", "Content-Length: 0"},
     "",
     {"ValueDelete", "CmdDel"}},
    {"delete command absent",
     true,
     Op::kDel,
     Given::kAbsent,
     "200 OK(Pendrakel)",
     {"x-result-code: 0", "x-result-reason: OK", "Content-Length: 0"},
     "",
     {"CmdDel"}},
    {"DELETE removed",
     false,
     Op::kDel,
     Given::kStored,
     "200 OK(Pendrakel)",
     {"Content-Length: 0"},
     "",
     {"ValueDelete", "CmdDel"}},
    {"DELETE absent",
     false,
     Op::kDel,
     Given::kAbsent,
     "404 Not Found(Pendrakel)",
     {"Content-Length: 0"},
     "",
     {"CmdDel"}},
    {"no-op command",
     true,
     Op::kNop,
     Given::kAbsent,
     "200 OK(Pendrakel)",
     {"x-result-code: 0", "x-result-reason: OK", "Content-Length: 0"},
     "",
     {"CmdNop"}},
    {"NOOP",
     false,
     Op::kNop,
     Given::kAbsent,
     "200 OK(Pendrakel)",
     {"Content-Length: 0"},
     "",
     {"CmdNop"}},
};

TEST(ValueCommands, EveryOutcomeHasItsStatusLinesBodyAndCounters) {
  for (const OutcomeRow& row : kRows) {
    SCOPED_TRACE(row.label);
    TestExtension ext;
    if (row.given == Given::kStored) {
      auto put = MakeRequest(false, Op::kSet, "name", "hello");
      put->ContentType("text/x-stored");
      ext.Run(*put);
    }
    if (row.given == Given::kBudgetFull) ext.budget.SetMax(3);
    const auto before = CounterValues(ext.counters);
    const uint64_t totalBefore = ext.budget.total();

    auto request = MakeRequest(row.commandForm, row.op, "name", "body!");
    ext.Run(*request);
    EXPECT_EQ(request->headCalls(), 1);
    EXPECT_EQ(request->status(), row.status);
    EXPECT_EQ(request->HeaderLines(), row.lines);
    EXPECT_EQ(request->body(), row.body);
    EXPECT_EQ(request->writeCalls(), row.body[0] ? 1 : 0);
    EXPECT_EQ(CountersRisen(before, ext.counters), row.counters);
    // Only a store reads the body; a failed one leaves the budget alone.
    if (row.op != Op::kSet) {
      EXPECT_EQ(request->bodyBytesRead(), request->ecb()->cbAvailable);
    }
    if (row.given == Given::kBudgetFull) {
      EXPECT_EQ(ext.budget.total(), totalBefore);
    }
  }
}

TEST(ValueCommands, FailedStoreKeepsTheEarlierValueAndTheLimitIsExact) {
  TestExtension ext;
  ext.Run(*MakeRequest(false, Op::kSet, "a", std::string(60, 'a')));
  ext.Run(*MakeRequest(false, Op::kSet, "b", "old"));
  ext.budget.SetMax(100);  // 63 in use
  auto tooBig = MakeRequest(false, Op::kSet, "b", std::string(38, 'x'));
  ext.Run(*tooBig);
  EXPECT_EQ(tooBig->status(), "500 Internal Server Error(Pendrakel)");
  EXPECT_EQ(tooBig->bodyBytesRead(), tooBig->ecb()->cbAvailable);
  auto get = MakeRequest(false, Op::kGet, "b");
  ext.Run(*get);
  EXPECT_EQ(get->body(), "old");
  // Replacing "old" with 37 bytes fits only while both are held: it needs
  // 63 + 37 = 100 bytes at the moment of the store.
  auto fits = MakeRequest(false, Op::kSet, "b", std::string(37, 'y'));
  ext.Run(*fits);
  EXPECT_EQ(fits->status(), "204 No Content(Pendrakel)");
  EXPECT_EQ(ext.budget.total(), 97u);
}

TEST(ValueCommands, BodyIsAssembledFromPreloadAndPiecesAndBreakingOffFails) {
  TestExtension ext;
  const std::string body = "0123456789abcdefghij";
  FakeRequest pieces("PUT", "/p");
  pieces.Body(body, /*preload=*/3, /*piece=*/4);
  ext.Run(pieces);
  EXPECT_EQ(pieces.status(), "201 Created(Pendrakel)");
  auto get = MakeRequest(false, Op::kGet, "p");
  ext.Run(*get);
  EXPECT_EQ(get->body(), body);

  const uint64_t total = ext.budget.total();
  FakeRequest broken("PUT", "/p");
  broken.Body("a longer replacement", /*preload=*/2, /*piece=*/5,
              /*deliver=*/12);
  ext.Run(broken);
  EXPECT_EQ(broken.status(), "500 Internal Server Error(Pendrakel)");
  EXPECT_EQ(ext.budget.total(), total);
  EXPECT_EQ(ext.Counter(Counter::kCmdSetNoMemory), 1u);
  auto again = MakeRequest(false, Op::kGet, "p");
  ext.Run(*again);
  EXPECT_EQ(again->body(), body);
}

TEST(ValueCommands, EmptyBodyIsAValueOfSizeZero) {
  TestExtension ext;
  ext.settings.DefaultContentType[0] = '\0';
  ext.Run(*MakeRequest(false, Op::kSet, "e", ""));
  auto get = MakeRequest(false, Op::kGet, "e");
  ext.Run(*get);
  EXPECT_EQ(get->status(), "200 OK(Pendrakel)");
  EXPECT_EQ(get->HeaderLines(), std::vector<std::string>{"Content-Length: 0"});
  EXPECT_EQ(ext.Counter(Counter::kCmdGetOk), 1u);
}

TEST(ValueCommands, ContentTypeIsTheStoredOneElseTheDefaultElseNone) {
  TestExtension ext;
  std::strcpy(ext.settings.DefaultContentType, "application/x-default");
  auto typed = MakeRequest(false, Op::kSet, "typed", "t");
  typed->ContentType("image/png");
  ext.Run(*typed);
  ext.Run(*MakeRequest(false, Op::kSet, "plain", "p"));

  auto getTyped = MakeRequest(false, Op::kGet, "typed");
  ext.Run(*getTyped);
  EXPECT_EQ(getTyped->HeaderValue("Content-Type"), "image/png");
  auto getPlain = MakeRequest(false, Op::kGet, "plain");
  ext.Run(*getPlain);
  EXPECT_EQ(getPlain->HeaderValue("Content-Type"), "application/x-default");
  ext.settings.DefaultContentType[0] = '\0';
  auto getNone = MakeRequest(false, Op::kGet, "plain");
  ext.Run(*getNone);
  EXPECT_EQ(getNone->HeaderLines(),
            std::vector<std::string>{"Content-Length: 1"});
}

TEST(ValueCommands, AContentTypeTooLongForTheBlockIsLeftOutNeverOverrun) {
  TestExtension ext;
  ext.settings.Distribute = true;  // a Set-Cookie line takes room too
  auto put = MakeRequest(false, Op::kSet, "big", "data");
  const std::string longType(9000, 't');
  put->ContentType(longType);
  ext.Run(*put);
  ASSERT_EQ(put->status(), "201 Created(Pendrakel)");
  auto get = MakeRequest(false, Op::kGet, "big");
  get->Header("Cookie", put->HeaderValue("Set-Cookie"));
  ext.Run(*get);
  EXPECT_EQ(get->status(), "200 OK(Pendrakel)");
  EXPECT_EQ(get->HeaderLines(), std::vector<std::string>{"Content-Length: 4"});
  EXPECT_EQ(get->body(), "data");
  // A type that just fits is still sent, and the block stays closed.
  ext.settings.Distribute = false;
  auto fitting = MakeRequest(false, Op::kSet, "fit", "d");
  const std::string fittingType(8192 - 3 - 19 - 16, 'f');
  fitting->ContentType(fittingType);
  ext.Run(*fitting);
  auto getFitting = MakeRequest(false, Op::kGet, "fit");
  ext.Run(*getFitting);
  EXPECT_TRUE(getFitting->HeaderValue("Content-Type") == fittingType);
  EXPECT_EQ(getFitting->headers().size(), 8192u - 1);
}

TEST(ValueCommands, AStoreThatCannotGrowTheIndexAnswersNoMemory) {
  if (!testing::kCanFailAllocations) GTEST_SKIP() << "operator new is not ours";
  for (const bool commandForm : {false, true}) {
    TestExtension ext;
    auto put = MakeRequest(commandForm, Op::kSet, "n", "12345");
    const auto before = CounterValues(ext.counters);
    // The request's first allocation is the index growing for the new name.
    testing::FailAllocationAfter(0);
    ext.Run(*put);
    EXPECT_TRUE(testing::AllocationFailed());
    if (commandForm) {
      EXPECT_EQ(put->status(), "200 OK(Pendrakel)");
      EXPECT_EQ(put->HeaderValue("x-result-reason"), "No Memory");
    } else {
      EXPECT_EQ(put->status(), "500 Internal Server Error(Pendrakel)");
    }
    EXPECT_EQ(CountersRisen(before, ext.counters),
              (std::multiset<std::string>{"CmdSet", "CmdSetNoMemory"}));
    ext.shared.Stop();
    EXPECT_EQ(ext.budget.total(), 0u);
  }
}

TEST(ValueCommands, NamesAndTypesPastSixteenBitLengthsAreStoredWhole) {
  TestExtension ext;
  const std::string longName(100'000, 'n');
  const std::string longType(100'000, 't');
  auto put = MakeRequest(false, Op::kSet, longName, "data");
  put->ContentType(longType);
  ext.Run(*put);
  ASSERT_EQ(put->status(), "201 Created(Pendrakel)");
  auto get = MakeRequest(false, Op::kGet, longName);
  ext.Run(*get);
  EXPECT_EQ(get->status(), "200 OK(Pendrakel)");
  EXPECT_EQ(get->body(), "data");
  // Too long for the header block: left out of the answer, but kept.
  EXPECT_EQ(get->HeaderLines(), std::vector<std::string>{"Content-Length: 4"});
  const int64_t now = ext.state.clock();
  ValuesRef values = ext.shared.Acquire(now);
  Values::GetResult stored = values->Get(longName, now);
  ASSERT_NE(stored.value, nullptr);
  EXPECT_EQ(stored.value->contentType(), longType);
  stored.value.reset();
  values.reset();
}

TEST(ValueCommands, AStoredTypeWithALineBreakIsNeverSentAsHeaderLines) {
  TestExtension ext;
  auto put = MakeRequest(false, Op::kSet, "n", "v");
  put->ContentType("text/plain\r\nSet-Cookie: stolen");
  ext.Run(*put);
  auto get = MakeRequest(false, Op::kGet, "n");
  ext.Run(*get);
  EXPECT_EQ(get->status(), "200 OK(Pendrakel)");
  EXPECT_EQ(get->headers(), "Content-Length: 1\r\n\r\n");
  EXPECT_EQ(get->body(), "v");
}

TEST(ValueCommands, ExpiredValueIsNotFoundAndCollectedOnce) {
  TestExtension ext;
  testing::gTestNow = 1000;
  auto put = MakeRequest(true, Op::kSet, "t", "v");
  put->Header("X-Param-Timeout", "10");
  ext.Run(*put);
  testing::gTestNow = 1009;
  auto live = MakeRequest(true, Op::kGet, "t");
  ext.Run(*live);
  EXPECT_EQ(live->body(), "v");
  testing::gTestNow = 1010;
  auto expired = MakeRequest(false, Op::kGet, "t");
  ext.Run(*expired);
  EXPECT_EQ(expired->status(), "404 Not Found(Pendrakel)");
  auto again = MakeRequest(true, Op::kGet, "t");
  ext.Run(*again);
  EXPECT_EQ(again->HeaderValue("x-result-code"), "1");
  EXPECT_EQ(ext.Counter(Counter::kValueCollect), 1u);
  EXPECT_EQ(ext.Counter(Counter::kCmdGetNotFound), 2u);
  EXPECT_EQ(ext.budget.total(), 0u);
}

TEST(ValueCommands, TimeoutTextIsReadLikeAnUnsignedDecimal) {
  EXPECT_EQ(ParseTimeout("10"), 10u);
  EXPECT_EQ(ParseTimeout("  \t+7s"), 7u);
  EXPECT_EQ(ParseTimeout("abc"), 0u);
  EXPECT_EQ(ParseTimeout("- 5"), 0u);
  EXPECT_EQ(ParseTimeout(""), 0u);
  EXPECT_EQ(ParseTimeout("4294967295"), 4294967295u);
  EXPECT_EQ(ParseTimeout("99999999999999999999999"), 4294967295u);
  EXPECT_EQ(ParseTimeout("-1"), 4294967295u);
  EXPECT_EQ(ParseTimeout("-99999999999"), 1u);

  TestExtension ext;
  testing::gTestNow = 5000;
  auto put = MakeRequest(false, Op::kSet, "n", "v");
  put->Header("X-Param-Timeout", "soon");
  ext.Run(*put);
  testing::gTestNow = INT32_MAX;
  auto get = MakeRequest(false, Op::kGet, "n");
  ext.Run(*get);
  EXPECT_EQ(get->status(), "200 OK(Pendrakel)");  // never expires
}

TEST(ValueCommands, CommandNameIgnoresCaseButValueNameDoesNot) {
  TestExtension ext;
  FakeRequest set("POST", "/SeT");
  set.Header("X-Param-Name", "Key").Body("v");
  ext.Run(set);
  EXPECT_EQ(set.HeaderValue("x-result-code"), "0");
  auto lower = MakeRequest(true, Op::kGet, "key");
  ext.Run(*lower);
  EXPECT_EQ(lower->HeaderValue("x-result-code"), "1");
  auto exact = MakeRequest(false, Op::kGet, "Key");
  ext.Run(*exact);
  EXPECT_EQ(exact->body(), "v");
}

// A name too long to read is refused rather than taken for the empty name,
// where different long names would overwrite one another; a missing one is
// the empty name as before.
TEST(ValueCommands, AnOverlongNameIsRefusedAndAMissingOneIsTheEmptyName) {
  TestExtension ext;
  FakeRequest missingSet("POST", "/set");
  missingSet.Body("empty");
  ext.Run(missingSet);
  for (const char* command : {"/set", "/get", "/del"}) {
    SCOPED_TRACE(command);
    FakeRequest tooLong("POST", command);
    tooLong.Header("X-Param-Name", std::string(256, 'n')).Body("long");
    ext.Run(tooLong);
    EXPECT_EQ(tooLong.status(), "500 Internal Server Error(Pendrakel)");
    EXPECT_EQ(tooLong.headers(), "Content-Length: 0\r\n\r\n");
    EXPECT_EQ(tooLong.bodyBytesRead(), tooLong.ecb()->cbAvailable);
  }
  EXPECT_EQ(ext.Counter(Counter::kValuesError), 3u);
  EXPECT_EQ(ext.Counter(Counter::kCmdSet), 1u);  // only the first store
  // A no-op and an unknown command read no name: answered as ever.
  FakeRequest nop("POST", "/nop");
  nop.Header("X-Param-Name", std::string(256, 'n'));
  ext.Run(nop);
  EXPECT_EQ(nop.status(), "200 OK(Pendrakel)");
  FakeRequest missingGet("POST", "/get");
  ext.Run(missingGet);
  EXPECT_EQ(missingGet.body(), "empty");
  FakeRequest longest("POST", "/set");
  longest.Header("X-Param-Name", std::string(255, 'n')).Body("fits");
  ext.Run(longest);
  EXPECT_EQ(longest.HeaderValue("x-result-code"), "0");
}

}  // namespace
}  // namespace pendrakel
