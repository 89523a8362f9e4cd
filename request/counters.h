// Counters: the eighteen process-wide event counters that the STAT report
// shows. They start at zero, are never reset or decremented and wrap at
// 2^32.
//
// Thread safety: every field is changed only by Count (an atomic increment
// without a lock), from request threads, both collectors and start-up, and
// read one by one, without a consistent snapshot, by the STAT report.
#ifndef PENDRAKEL_REQUEST_COUNTERS_H_
#define PENDRAKEL_REQUEST_COUNTERS_H_

#include <atomic>
#include <cstdint>
#include <string_view>

namespace pendrakel {

// The one list of the counters, in report order: X(field, report line name).
// The fields of Counters, the lines of the STAT report and the names tests
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

struct Counters {
#define PENDRAKEL_COUNTER_FIELD(field, line) std::atomic<uint32_t> field{0};
  PENDRAKEL_COUNTERS(PENDRAKEL_COUNTER_FIELD)
#undef PENDRAKEL_COUNTER_FIELD
};

// One counter's field, its name in code and its line in the STAT report.
struct CounterInfo {
  std::atomic<uint32_t> Counters::*field;
  std::string_view name;
  std::string_view line;
};

// Every counter, in report order.
inline constexpr CounterInfo kCounterInfo[] = {
#define PENDRAKEL_COUNTER_INFO(field, line) {&Counters::field, #field, line},
    PENDRAKEL_COUNTERS(PENDRAKEL_COUNTER_INFO)
#undef PENDRAKEL_COUNTER_INFO
};

// Adds `times` (1 by default) to `counter`, wrapping at 2^32.
inline void Count(std::atomic<uint32_t>& counter, uint32_t times = 1) {
  counter.fetch_add(times, std::memory_order_relaxed);
}

}  // namespace pendrakel

#endif  // PENDRAKEL_REQUEST_COUNTERS_H_
