// PerProcessor<T>: one T per processor, for state that every request
// changes, so that requests on different cores write different cache lines
// (a line that two cores write in turn moves between them on every write).
// ThisSlot names the slot of the processor the caller runs on now; a thread
// may move meanwhile, so a slot is only mostly one core's, and what it holds
// must still be safe for two threads at once.
//
// Each T is value-initialised and kept on lines of its own. The slots are
// fixed for the object's life: one per processor, at most
// kMaxProcessorSlots (beyond that, some processors share one).
#ifndef PENDRAKEL_BASE_PER_PROCESSOR_H_
#define PENDRAKEL_BASE_PER_PROCESSOR_H_

#include <sched.h>

#include <algorithm>
#include <cstddef>
#include <thread>

namespace pendrakel {

inline constexpr size_t kMaxProcessorSlots = 16;

template <typename T>
class PerProcessor {
 public:
  PerProcessor() = default;
  PerProcessor(const PerProcessor&) = delete;
  PerProcessor& operator=(const PerProcessor&) = delete;

  size_t size() const { return count_; }
  // The slot of the processor the caller runs on.
  size_t ThisSlot() const {
    const int cpu = sched_getcpu();
    if (cpu < 0) return 0;
    const auto slot = static_cast<size_t>(cpu);
    return slot < count_ ? slot : slot % count_;  // no division when it fits
  }
  T& operator[](size_t slot) { return slots_[slot].value; }
  const T& operator[](size_t slot) const { return slots_[slot].value; }

 private:
  // Two lines: the processor's prefetcher fetches lines in pairs.
  struct alignas(128) Slot {
    T value{};
  };

  // The processors, counted once per process.
  static size_t Slots() {
    static const size_t slots = std::clamp<size_t>(
        std::thread::hardware_concurrency(), 1, kMaxProcessorSlots);
    return slots;
  }

  const size_t count_ = Slots();
  Slot slots_[kMaxProcessorSlots];
};

}  // namespace pendrakel

#endif  // PENDRAKEL_BASE_PER_PROCESSOR_H_
