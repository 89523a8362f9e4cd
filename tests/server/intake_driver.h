// Feeds a RequestIntake the way a connection does: the bytes arrive in
// pieces of `step` bytes, and what the intake did not consume is presented
// again in front of the next piece. Used by the intake and server-variable
// tests to run every request whole and one byte at a time.
#ifndef PENDRAKEL_TESTS_SERVER_INTAKE_DRIVER_H_
#define PENDRAKEL_TESTS_SERVER_INTAKE_DRIVER_H_

#include <cstddef>
#include <string>
#include <string_view>

#include "server/http/request_intake.h"

namespace pendrakel::testing {

inline constexpr size_t kWhole = static_cast<size_t>(-1);
inline constexpr size_t kSplits[] = {kWhole, 1};

// Returns the count of bytes the intake consumed. Stops feeding once the
// intake leaves kHead/kBody.
inline size_t Drive(server::RequestIntake& intake, std::string_view bytes,
                    size_t step) {
  std::string pending;
  size_t offered = 0;
  size_t consumed = 0;
  while (offered < bytes.size()) {
    const size_t piece = std::min(step, bytes.size() - offered);
    pending.append(bytes.substr(offered, piece));
    offered += piece;
    const size_t used = intake.Feed(pending.data(), pending.size());
    pending.erase(0, used);
    consumed += used;
    const auto phase = intake.phase();
    if (phase != server::IntakePhase::kHead &&
        phase != server::IntakePhase::kBody) {
      break;
    }
  }
  return consumed;
}

}  // namespace pendrakel::testing

#endif  // PENDRAKEL_TESTS_SERVER_INTAKE_DRIVER_H_
