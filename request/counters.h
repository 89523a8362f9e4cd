// Counters: the eighteen process-wide event counters that the STAT report
// shows. They start at zero, are never reset or decremented and wrap at
// 2^32.
//
// Every request raises one or two of them, on whichever core it runs, so
// each counter is kept in shards, one per processor: Add raises the
// shard of the processor the caller runs on, which no other core writes
// meanwhile, and Read sums the shards (wrapping as the one count would).
//
// Thread safety: every shard's count is an atomic, raised by Add without a
// lock from request threads, both collectors and start-up (a thread that
// moved to another processor meanwhile may share a shard, hence the
// atomic), and read one by one, without a consistent snapshot, by Read.
#ifndef PENDRAKEL_REQUEST_COUNTERS_H_
#define PENDRAKEL_REQUEST_COUNTERS_H_

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "base/per_processor.h"

namespace pendrakel {

// The one list of the counters, in report order: X(field, report line name).
// The names in Counter, the lines of the STAT report and the names tests
// use all come from it.
#define PENDRAKEL_COUNTERS(X)                     \
  X(CmdStat, "X-Counter-CMD-Stat")                \
  X(CmdGet, "X-Counter-CMD-Get")                  \
  X(CmdGetOk, "X-Counter-CMD-Get_OK")             \
  X(CmdGetNotFound, "X-Counter-CMD-Get-NotFound") \
  X(CmdSet, "X-Counter-CMD-Set")                  \
  X(CmdSetOk, "X-Counter-CMD-Set-OK")             \
  X(CmdSetNoMemory, "X-Counter-CMD-Set-NoMemory") \
  X(CmdDel, "X-Counter-CMD-Del")                  \
  X(CmdNop, "X-Counter-CMD-Nop")                  \
  X(CmdUnknown, "X-Counter-CMD-Unknown")          \
  X(ValuesCollect, "X-Counter-ValuesCollect")     \
  X(ValuesCreate, "X-Counter-ValuesCreate")       \
  X(ValuesError, "X-Counter-ValuesError")         \
  X(ValueCollect, "X-Counter-ValueCollect")       \
  X(ValueCreate, "X-Counter-ValueCreate")         \
  X(ValueReplace, "X-Counter-ValueReplace")       \
  X(ValueDelete, "X-Counter-ValueDelete")         \
  X(CookieDistribute, "X-Counter-CookieDistribute")

// Names of the counters in code: Counter::kCmdGet and so on.
enum class Counter : uint8_t {
#define PENDRAKEL_COUNTER_ENUM(field, line) k##field,
  PENDRAKEL_COUNTERS(PENDRAKEL_COUNTER_ENUM)
#undef PENDRAKEL_COUNTER_ENUM
};
inline constexpr size_t kCounters = 0
#define PENDRAKEL_COUNTER_ONE(field, line) +1
    PENDRAKEL_COUNTERS(PENDRAKEL_COUNTER_ONE)
#undef PENDRAKEL_COUNTER_ONE
    ;

class Counters {
 public:
  // Adds `times` (1 by default) to `counter`, wrapping at 2^32.
  void Add(Counter counter, uint32_t times = 1) {
    shards_[shards_.ThisSlot()][static_cast<size_t>(counter)].fetch_add(
        times, std::memory_order_relaxed);
  }
  // The sum of `counter`'s shards, wrapping at 2^32.
  uint32_t Read(Counter counter) const {
    uint32_t sum = 0;
    for (size_t i = 0; i < shards_.size(); ++i) {
      sum += shards_[i][static_cast<size_t>(counter)].load(
          std::memory_order_relaxed);
    }
    return sum;
  }

 private:
  PerProcessor<std::array<std::atomic<uint32_t>, kCounters>> shards_;
};

// One counter's name in code and its line in the STAT report.
struct CounterInfo {
  Counter counter;
  std::string_view name;
  std::string_view line;
};

// Every counter, in report order.
inline constexpr CounterInfo kCounterInfo[] = {
#define PENDRAKEL_COUNTER_INFO(field, line) {Counter::k##field, #field, line},
    PENDRAKEL_COUNTERS(PENDRAKEL_COUNTER_INFO)
#undef PENDRAKEL_COUNTER_INFO
};

}  // namespace pendrakel

#endif  // PENDRAKEL_REQUEST_COUNTERS_H_
