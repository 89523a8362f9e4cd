// ConnectionSlots: the host-wide bound on open connections
// (--max-connections) and the figures the metrics page shows of it. An
// accepted connection takes a ConnectionSlot, an owning handle (a
// unique_ptr whose deleter gives the slot back), so a connection counts
// exactly while it exists and no path can forget to give its slot back.
//
// Threads: TryTake on the I/O threads, the figures from any thread. Each
// figure is an independent relaxed atomic count.
#ifndef PENDRAKEL_SERVER_IO_CONNECTION_SLOTS_H_
#define PENDRAKEL_SERVER_IO_CONNECTION_SLOTS_H_

#include <atomic>
#include <cstdint>
#include <memory>

namespace pendrakel::server {

class ConnectionSlots;

// Gives a slot back to its ConnectionSlots.
struct SlotReturn {
  void operator()(ConnectionSlots* slots) const;
};

// One open connection's slot: empty when refused, given back when it goes.
using ConnectionSlot = std::unique_ptr<ConnectionSlots, SlotReturn>;

class ConnectionSlots {
 public:
  explicit ConnectionSlots(int max_open) : max_open_(max_open) {}
  ConnectionSlots(const ConnectionSlots&) = delete;
  ConnectionSlots& operator=(const ConnectionSlots&) = delete;

  // A slot for a connection just accepted; empty (and counted as refused)
  // when max_open are open already.
  ConnectionSlot TryTake() {
    if (open_.fetch_add(1, std::memory_order_relaxed) >= max_open_) {
      open_.fetch_sub(1, std::memory_order_relaxed);
      refused_.fetch_add(1, std::memory_order_relaxed);
      return nullptr;
    }
    accepted_.fetch_add(1, std::memory_order_relaxed);
    return ConnectionSlot(this);
  }

  int open() const { return open_.load(std::memory_order_relaxed); }
  uint64_t accepted() const {
    return accepted_.load(std::memory_order_relaxed);
  }
  uint64_t refused() const { return refused_.load(std::memory_order_relaxed); }

 private:
  friend struct SlotReturn;

  const int max_open_;
  std::atomic<int> open_{0};
  std::atomic<uint64_t> accepted_{0};
  std::atomic<uint64_t> refused_{0};
};

inline void SlotReturn::operator()(ConnectionSlots* slots) const {
  slots->open_.fetch_sub(1, std::memory_order_relaxed);
}

}  // namespace pendrakel::server

#endif  // PENDRAKEL_SERVER_IO_CONNECTION_SLOTS_H_
