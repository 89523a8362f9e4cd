// ScriptedGuids: the GUID source the extension fuzzer hands the extension in
// place of the random one. Its GUIDs are predictable, repeat after `period`
// draws and fail on every `failEvery`-th draw when those are set, so that
// cookie collisions and failed draws are reached; every draw is logged so
// the model can replay how the extension chose its new cookie.
//
// Process-wide state (a GuidSource is a plain function), used by the one
// fuzzing thread; Reset starts each input afresh.
#ifndef PENDRAKEL_FUZZ_SCRIPTED_GUIDS_H_
#define PENDRAKEL_FUZZ_SCRIPTED_GUIDS_H_

#include <cstdint>
#include <vector>

#include "fuzz/store_model.h"
#include "request/guid.h"

namespace pendrakel::fuzz {

class ScriptedGuids {
 public:
  // 0 for either means never (never repeat, never fail). Empties the log.
  static void Reset(uint32_t period, uint32_t failEvery);
  // The GuidSource.
  static bool Draw(Guid* guid);
  // The draws since the last ClearLog.
  static const std::vector<GuidDraw>& log();
  static void ClearLog();
};

}  // namespace pendrakel::fuzz

#endif  // PENDRAKEL_FUZZ_SCRIPTED_GUIDS_H_
