// StepDecoder: turns a fuzz input into the extension's settings and then a
// sequence of steps (requests, clock steps, collector passes, STAT). Names
// and cookies used earlier in the input, and cookies the extension handed
// out, are remembered and often reused, so that requests meet each other's
// values; near misses of known cookies probe that no collection is reached
// without its exact cookie.
//
// Input layout (front to back; an exhausted input reads as zeros):
//   settings flags, then the settings they select (DecodeSettings);
//   per step a step byte, its low four bits the kind and its high four bits
//   the request's optional parts, then the step's own bytes.
//
// One decoder per input, used by one thread; it reads the Settings it is
// given, which must outlive it.
#ifndef PENDRAKEL_FUZZ_STEP_DECODER_H_
#define PENDRAKEL_FUZZ_STEP_DECODER_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "config/settings.h"
#include "fuzz/input_reader.h"
#include "fuzz/store_model.h"

namespace pendrakel::fuzz {

// What the settings bytes chose beyond the Settings record itself.
struct DecodedSettings {
  uint64_t memoryMax = 0;  // bytes; 0 = no limit
  uint32_t guidPeriod = 0;
  uint32_t guidFailEvery = 0;
};

struct Step {
  enum class Kind { kClock, kCollectIdle, kCollectExpired, kStat, kRequest };
  Kind kind = Kind::kStat;
  int64_t seconds = 0;  // kClock: how far the clock moves on
  RequestSpec request;  // kRequest
};

class StepDecoder {
 public:
  StepDecoder(InputReader& in, const Settings& settings)
      : in_(in), settings_(settings) {}
  StepDecoder(const StepDecoder&) = delete;
  StepDecoder& operator=(const StepDecoder&) = delete;

  // Reads the settings part of the input into `settings`, the Settings the
  // decoder was made with (start-up values). Called once, first.
  DecodedSettings DecodeSettings(Settings& settings);

  bool done() const { return in_.empty(); }
  Step Next();

  // A cookie the extension handed out, for later requests to send back.
  void RememberCookie(const std::string& cookie);

 private:
  RequestSpec DecodeRequest(uint8_t parts);
  std::string DecodeMethod();
  std::string DecodeName();
  std::string DecodePathPrefix();
  std::string DecodeCommand(uint8_t choice, const std::string& name);
  std::string DecodeCookie();
  std::string NearMiss(std::string cookie);
  std::string DecodeTimeout();
  std::string DecodeContentType();
  void DecodeBody(RequestSpec& request);

  InputReader& in_;
  const Settings& settings_;
  uint64_t memoryMax_ = 0;
  std::vector<std::string> names_;
  std::vector<std::string> cookies_;
};

}  // namespace pendrakel::fuzz

#endif  // PENDRAKEL_FUZZ_STEP_DECODER_H_
