#include "fuzz/scripted_guids.h"

namespace pendrakel::fuzz {
namespace {

struct Script {
  uint32_t period = 0;
  uint32_t failEvery = 0;
  uint32_t draws = 0;
  std::vector<GuidDraw> log;
};

Script& TheScript() {
  static Script* script = new Script;  // never destroyed: outlives every input
  return *script;
}

}  // namespace

void ScriptedGuids::Reset(uint32_t period, uint32_t failEvery) {
  Script& script = TheScript();
  script.period = period;
  script.failEvery = failEvery;
  script.draws = 0;
  script.log.clear();
}

bool ScriptedGuids::Draw(Guid* guid) {
  Script& script = TheScript();
  const uint32_t draw = script.draws++;
  if (script.failEvery != 0 &&
      draw % script.failEvery == script.failEvery - 1) {
    script.log.push_back(std::nullopt);
    return false;
  }
  const uint32_t seed = script.period != 0 ? draw % script.period : draw;
  Guid made{};
  made.Data1 = seed * 0x9e3779b1u;
  made.Data2 = static_cast<uint16_t>(seed);
  made.Data3 = static_cast<uint16_t>(0x4000 | (seed & 0x0fff));
  for (int i = 0; i < 8; ++i) made.Data4[i] = static_cast<uint8_t>(seed >> i);
  *guid = made;
  script.log.push_back(made);
  return true;
}

const std::vector<GuidDraw>& ScriptedGuids::log() { return TheScript().log; }

void ScriptedGuids::ClearLog() { TheScript().log.clear(); }

}  // namespace pendrakel::fuzz
