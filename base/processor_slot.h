// Processor slots: for state that every request changes, kept once per
// processor so that requests on different cores write different cache lines
// (a line that two cores write in turn moves between them on every write).
// ProcessorSlot names the slot of the processor the caller runs on now; a
// thread may move meanwhile, so a slot is only ever mostly one core's, and
// what it holds must still be safe for two threads at once.
#ifndef PENDRAKEL_BASE_PROCESSOR_SLOT_H_
#define PENDRAKEL_BASE_PROCESSOR_SLOT_H_

#include <sched.h>

#include <algorithm>
#include <cstddef>
#include <thread>

namespace pendrakel {

// Most slots of one kind: beyond this many processors, some share one.
inline constexpr size_t kMaxProcessorSlots = 16;
// The alignment of one slot: two lines, as the processor's prefetcher
// fetches lines in pairs.
inline constexpr size_t kProcessorSlotAlignment = 128;

// Slots to use on this machine: one per processor, at most
// kMaxProcessorSlots.
inline size_t ProcessorSlots() {
  return std::clamp<size_t>(std::thread::hardware_concurrency(), 1,
                            kMaxProcessorSlots);
}

// The slot, out of `slots`, of the processor the caller runs on.
inline size_t ProcessorSlot(size_t slots) {
  const int cpu = sched_getcpu();
  if (cpu < 0) return 0;
  const auto slot = static_cast<size_t>(cpu);
  return slot < slots ? slot : slot % slots;  // no division when it fits
}

}  // namespace pendrakel

#endif  // PENDRAKEL_BASE_PROCESSOR_SLOT_H_
