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

namespace pendrakel {

struct Counters {
  // In report order.
  std::atomic<uint32_t> CmdStat{0};
  std::atomic<uint32_t> CmdGet{0};
  std::atomic<uint32_t> CmdGetOk{0};
  std::atomic<uint32_t> CmdGetNotFound{0};
  std::atomic<uint32_t> CmdSet{0};
  std::atomic<uint32_t> CmdSetOk{0};
  std::atomic<uint32_t> CmdSetNoMemory{0};
  std::atomic<uint32_t> CmdDel{0};
  std::atomic<uint32_t> CmdNop{0};
  std::atomic<uint32_t> CmdUnknown{0};
  std::atomic<uint32_t> ValuesCollect{0};
  std::atomic<uint32_t> ValuesCreate{0};
  std::atomic<uint32_t> ValuesError{0};
  std::atomic<uint32_t> ValueCollect{0};
  std::atomic<uint32_t> ValueCreate{0};
  std::atomic<uint32_t> ValueReplace{0};
  std::atomic<uint32_t> ValueDelete{0};
  std::atomic<uint32_t> CookieDistribute{0};
};

inline void Count(std::atomic<uint32_t>& counter) {
  counter.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace pendrakel

#endif  // PENDRAKEL_REQUEST_COUNTERS_H_
