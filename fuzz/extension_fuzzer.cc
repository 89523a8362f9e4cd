// Fuzzes the extension through the fake host: each input decodes (see
// StepDecoder) into a few settings and a sequence of requests, clock steps
// and collector passes, run against a fresh TestExtension. A StoreModel
// predicts every response; after each step the fuzzer checks the response,
// the eighteen counters and the memory total against it, then deletes every
// value and expects a total of 0. Leaks show up in ASan's leak check when the
// TestExtension is torn down.
//
// PENDRAKEL_FUZZ_TRACE=1 prints every request and its answer, for reading
// what a saved input does.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "fuzz/input_reader.h"
#include "fuzz/scripted_guids.h"
#include "fuzz/step_decoder.h"
#include "fuzz/store_model.h"
#include "request/collector_passes.h"
#include "request/counters.h"
#include "request/header_block.h"
#include "tests/fake_host.h"
#include "tests/test_extension.h"

namespace pendrakel::fuzz {
namespace {

using testing::FakeRequest;
using testing::TestExtension;

// Steps decoded from one input; keeps each input cheap.
constexpr int kMaxSteps = 96;
// The clock at the start of every input (seconds since 1970).
constexpr int64_t kStartSeconds = 1'700'000'000;

constexpr Counter kCounterFields[kCounterCount] = {
    Counter::kCmdStat,        Counter::kCmdGet,
    Counter::kCmdGetOk,       Counter::kCmdGetNotFound,
    Counter::kCmdSet,         Counter::kCmdSetOk,
    Counter::kCmdSetNoMemory, Counter::kCmdDel,
    Counter::kCmdNop,         Counter::kCmdUnknown,
    Counter::kValuesCollect,  Counter::kValuesCreate,
    Counter::kValuesError,    Counter::kValueCollect,
    Counter::kValueCreate,    Counter::kValueReplace,
    Counter::kValueDelete,    Counter::kCookieDistribute,
};

constexpr const char* kStatusTexts[] = {
    "200 OK(Pendrakel)",
    "201 Created(Pendrakel)",
    "204 No Content(Pendrakel)",
    "404 Not Found(Pendrakel)",
    "500 Internal Server Error(Pendrakel)",
    "501 Not Implemented(Pendrakel)",
};

// The value of the header block's first line when that line is
// "name: value"; empty otherwise.
std::string_view LineValue(std::string_view headers, std::string_view name) {
  const std::string_view line = headers.substr(0, headers.find("\r\n"));
  if (!line.starts_with(name) || line.substr(name.size(), 2) != ": ") {
    return {};
  }
  return line.substr(name.size() + 2);
}

class Session {
 public:
  explicit Session(InputReader& in) : decoder_(in, ext_.settings) {
    testing::gTestNow = kStartSeconds;
    const DecodedSettings decoded = decoder_.DecodeSettings(ext_.settings);
    ScriptedGuids::Reset(decoded.guidPeriod, decoded.guidFailEvery);
    ext_.state.makeGuid = ScriptedGuids::Draw;
    ext_.budget.SetMax(decoded.memoryMax);
    model_.emplace(ext_.settings, decoded.memoryMax);
  }

  void RunSteps() {
    for (int count = 0; count < kMaxSteps && !decoder_.done(); ++count) {
      const Step step = decoder_.Next();
      switch (step.kind) {
        case Step::Kind::kClock:
          testing::gTestNow += step.seconds;
          break;
        case Step::Kind::kCollectIdle:
          CollectIdle();
          break;
        case Step::Kind::kCollectExpired:
          CollectExpired();
          break;
        case Step::Kind::kStat:
          Stat();
          break;
        case Step::Kind::kRequest:
          Run(step.request);
          break;
      }
    }
  }

  // Deletes every value the model knows of and expects nothing left.
  void DeleteEverything() {
    std::vector<RequestSpec> deletes;
    auto plan = [&](const StoreModel::Collection& values,
                    std::optional<std::string> cookie) {
      for (const auto& [name, entry] : values.entries) {
        RequestSpec request;
        request.method = "DELETE";
        request.path = std::string(ext_.settings.PathBase) + name;
        request.cookie = cookie;
        deletes.push_back(std::move(request));
      }
    };
    for (const auto& [cookie, values] : model_->cookieTable()) {
      plan(values, cookie);
    }
    plan(model_->shared(), std::nullopt);
    for (const RequestSpec& request : deletes) Run(request);
    Stat();
    CheckEqual<uint64_t>(0, model_->total(), "model total after deleting all");
    CheckEqual<uint64_t>(0, ext_.budget.total(), "total after deleting all");
  }

 private:
  void CollectIdle() {
    const int64_t now = testing::gTestNow;
    DropAndCountIdleCollections(now, ext_.settings.IdleLimit, ext_.cookies,
                                ext_.shared, ext_.counters);
    model_->CollectIdle(now);
    CheckState();
  }

  void CollectExpired() {
    const int64_t now = testing::gTestNow;
    DropAndCountExpiredValues(now, ext_.cookies, ext_.shared, ext_.counters);
    model_->CollectExpired(now);
    CheckState();
  }

  void Stat() {
    RequestSpec request;
    request.method = "STAT";
    Run(request);
  }

  void Run(const RequestSpec& planned) {
    FakeRequest request(planned.method, planned.path);
    if (planned.cookie) request.Header("Cookie", *planned.cookie);
    if (planned.name) request.Header("X-Param-Name", *planned.name);
    if (planned.timeout) request.Header("X-Param-Timeout", *planned.timeout);
    request.ContentType(planned.contentType);
    if (planned.hasBody) {
      request.Body(planned.body, planned.preload, planned.piece,
                   planned.deliver);
      request.ecb()->cbTotalBytes += planned.unsentBytes;
    }
    ScriptedGuids::ClearLog();
    const bool isStat = CString(planned.method) == "STAT";
    ext_.Run(request);
    const ExpectedResponse expected =
        model_->Handle(planned, testing::gTestNow, ScriptedGuids::log());
    if (Tracing()) Trace(planned, request);
    CheckHead(request, isStat);
    CheckEqual(expected.status, request.status(), "status text");
    CheckEqual(expected.headers, request.headers(), "header block");
    CheckEqual(expected.body, request.body(), "body");
    CheckEqual(expected.writeCalls, request.writeCalls(), "body writes");
    const std::string_view cookie = LineValue(request.headers(), "Set-Cookie");
    if (!cookie.empty()) decoder_.RememberCookie(std::string(cookie));
    CheckState();
  }

  static bool Tracing() {
    static const bool tracing = std::getenv("PENDRAKEL_FUZZ_TRACE") != nullptr;
    return tracing;
  }

  static void Trace(const RequestSpec& planned, const FakeRequest& request) {
    std::fprintf(stderr,
                 "> %s %s cookie=%s name=%s timeout=%s type=%zu body=%zu\n",
                 Escaped(planned.method).c_str(), Escaped(planned.path).c_str(),
                 planned.cookie ? Escaped(*planned.cookie).c_str() : "-",
                 planned.name ? Escaped(*planned.name).c_str() : "-",
                 planned.timeout ? Escaped(*planned.timeout).c_str() : "-",
                 planned.contentType.size(), planned.body.size());
    std::fprintf(stderr, "< %s | %s| %zu body bytes\n",
                 request.status().c_str(), Escaped(request.headers()).c_str(),
                 request.body().size());
  }

  // What holds for every response whatever the model says.
  void CheckHead(const FakeRequest& request, bool isStat) {
    CheckEqual(1, request.headCalls(), "response heads sent");
    const std::string& status = request.status();
    bool known = false;
    for (const char* text : kStatusTexts) known = known || status == text;
    if (!known) Fail("status text is not one of the six: " + Escaped(status));
    const std::string& headers = request.headers();
    Check(headers.size() >= 2 && headers.size() < kHeaderBlockBytes,
          "header block size");
    if (!headers.ends_with("\r\n\r\n")) {
      Fail("header block not closed by an empty line: " + Escaped(headers));
    }
    // Only the first line may be a Set-Cookie line (texts in the block never
    // hold a line break of their own).
    if (headers.find("\r\nSet-Cookie: ") != std::string::npos ||
        (isStat && headers.starts_with("Set-Cookie: "))) {
      Fail("Set-Cookie line not first: " + Escaped(headers));
    }
    if (isStat) {
      CheckEqual(std::to_string(ext_.budget.total()),
                 std::string(LineValue(headers, "X-Memory-Total")),
                 "STAT X-Memory-Total");
    }
  }

  void CheckState() {
    const Counters& counters = ext_.counters;
    for (size_t i = 0; i < kCounterCount; ++i) {
      CheckEqual(model_->counters()[i], counters.Read(kCounterFields[i]),
                 kCounterLineNames[i]);
    }
    CheckEqual(counters.Read(Counter::kCmdGet),
               counters.Read(Counter::kCmdGetOk) +
                   counters.Read(Counter::kCmdGetNotFound),
               "CmdGet = CmdGetOk + CmdGetNotFound");
    CheckEqual(counters.Read(Counter::kCmdSet),
               counters.Read(Counter::kCmdSetOk) +
                   counters.Read(Counter::kCmdSetNoMemory),
               "CmdSet = CmdSetOk + CmdSetNoMemory");
    CheckEqual(counters.Read(Counter::kCmdSetOk),
               counters.Read(Counter::kValueCreate) +
                   counters.Read(Counter::kValueReplace),
               "CmdSetOk = ValueCreate + ValueReplace");
    CheckEqual(model_->SumOfSizes(), model_->total(), "model total");
    CheckEqual(model_->total(), ext_.budget.total(), "memory total");
    const uint64_t max = ext_.budget.max();
    Check(max == 0 || ext_.budget.total() <= max, "memory total above max");
  }

  TestExtension ext_;
  StepDecoder decoder_;
  std::optional<StoreModel> model_;
};

}  // namespace
}  // namespace pendrakel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  pendrakel::fuzz::InputReader in(data, size);
  pendrakel::fuzz::Session session(in);
  session.RunSteps();
  session.DeleteEverything();
  return 0;
}
