// Fuzzes the host's request intake: arbitrary bytes as they might arrive on
// a connection, turned into requests exactly as a connection does it.
//
// The same bytes are fed twice, once whole and once in small pieces, and
// both must give the same account of every request (what the extension
// would be handed, or the error answer): the intake must not depend on how
// the network split the stream. Two differences are allowed, both about a
// head that is refused: the parser may refuse a bad start line it saw whole
// while in pieces it waits for the rest of the head (which the stream may
// never bring), and a head that is both malformed and over the limit may be
// refused for either fault.
//
// Input: byte 0 picks the limits, byte 1 the piece size; the rest is the
// stream.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "server/http/request_intake.h"

namespace pendrakel::fuzz {
namespace {

using server::IntakeLimits;
using server::IntakePhase;
using server::RequestIntake;

// Requests accounted for per input; bounds the work of one run.
constexpr int kMaxRequests = 64;

IntakeLimits LimitsFrom(uint8_t choice) {
  IntakeLimits limits;
  limits.max_head_bytes = (choice & 1) ? 1024 : 16 * 1024;
  limits.max_body_bytes = (choice & 2) ? 64 : 1 << 20;
  limits.preload_bytes = (choice & 4) ? 8 : 48 * 1024;
  return limits;
}

// What the extension would see of a request whose head (and preload) is in.
std::string Describe(RequestIntake& intake) {
  server::RequestHead& head = intake.head();
  std::string out;
  out.append(head.method_view()).append("|");
  out.append(head.path_view()).append("|");
  out.append(head.query_view()).append("|");
  out.append(head.content_type_view()).append("|");
  out += std::to_string(head.version) + "|" + std::to_string(head.keep_alive) +
         "|" + std::to_string(static_cast<int>(head.framing)) + "|" +
         std::to_string(intake.total_bytes()) + "|";
  for (size_t i = 0; i < head.field_count(); ++i) {
    out.append(head.field_name(i)).append(":").append(head.field_value(i));
    out += "\n";
  }
  out.append(reinterpret_cast<const char*>(intake.body_data()),
             intake.body_size());
  return out;
}

// Feeds `stream` in pieces of `piece` bytes (0: all at once) and returns the
// account of every request in it.
std::string Run(const IntakeLimits& limits, std::string_view stream,
                size_t piece) {
  RequestIntake intake(limits);
  std::string pending;  // received, not consumed
  size_t next = 0;      // first byte of `stream` not yet received
  std::string account;
  for (int requests = 0; requests < kMaxRequests;) {
    const size_t used = intake.Feed(pending.data(), pending.size());
    Check(used <= pending.size(), "the intake consumed more than it was fed");
    pending.erase(0, used);
    switch (intake.phase()) {
      case IntakePhase::kHead:
      case IntakePhase::kBody: {
        if (next == stream.size()) return account + "<end>";
        const size_t take = piece == 0 ? stream.size() - next
                                       : std::min(piece, stream.size() - next);
        pending.append(stream.substr(next, take));
        next += take;
        break;
      }
      case IntakePhase::kFailed:
        return account + "<failed " +
               std::to_string(static_cast<int>(intake.failure())) + ">";
      case IntakePhase::kPreloaded: {
        Check(intake.body_size() == limits.preload_bytes,
              "a preloaded body is not exactly the preload");
        Check(
            intake.unread_bytes() == intake.total_bytes() - intake.body_size(),
            "unread bytes do not add up");
        account += "<preloaded>" + Describe(intake);
        // The connection reads the rest past the intake, as the extension
        // asks for it.
        pending.append(stream.substr(next));
        next = stream.size();
        const uint64_t rest =
            std::min<uint64_t>(intake.unread_bytes(), pending.size());
        intake.TakeBody(rest);
        pending.erase(0, rest);
        if (intake.unread_bytes() > 0) return account + "<body cut>";
        intake.Start();
        ++requests;
        break;
      }
      case IntakePhase::kComplete:
        Check(intake.body_size() == intake.total_bytes(),
              "a complete body is not the whole body");
        Check(intake.total_bytes() <= limits.max_body_bytes,
              "a body over the limit was accepted");
        account += "<complete>" + Describe(intake);
        intake.Start();
        ++requests;
        break;
    }
  }
  return account;
}

}  // namespace
}  // namespace pendrakel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace pendrakel::fuzz;
  if (size < 2) return 0;
  const IntakeLimits limits = LimitsFrom(data[0]);
  const size_t piece = 1 + data[1] % 16;
  const std::string_view stream(reinterpret_cast<const char*>(data) + 2,
                                size - 2);
  const std::string whole = Run(limits, stream, 0);
  const std::string pieces = Run(limits, stream, piece);
  const auto requests = [](const std::string& account) {
    return account.substr(0, account.rfind('<'));
  };
  const auto refused = [](const std::string& account) {
    return account.ends_with("<end>") ||
           account.compare(account.rfind('<'), 8, "<failed ") == 0;
  };
  const bool sameRequests = requests(whole) == requests(pieces);
  const bool bothRefusedOrCut = refused(whole) && refused(pieces);
  if (!(whole == pieces || (sameRequests && bothRefusedOrCut))) {
    Fail("fed whole:\n" + Escaped(whole) + "\nfed in pieces of " +
         std::to_string(piece) + ":\n" + Escaped(pieces));
  }
  return 0;
}
