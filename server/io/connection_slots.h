// ConnectionSlots: the host-wide bound on open connections
// (--max-connections) and the figures the metrics page shows of it. An
// accepted connection takes a ConnectionSlot, an owning handle that gives
// the slot back when it is destroyed, so a connection counts exactly while
// it exists and no path can forget to give its slot back.
//
// Threads: TryTake on the I/O threads, the figures from any thread. Each
// figure is an independent relaxed atomic count.
#ifndef PENDRAKEL_SERVER_IO_CONNECTION_SLOTS_H_
#define PENDRAKEL_SERVER_IO_CONNECTION_SLOTS_H_

#include <atomic>
#include <cstdint>
#include <utility>

namespace pendrakel::server {

class ConnectionSlots;

// One open connection's slot; empty when default-made or moved from.
class ConnectionSlot {
 public:
  ConnectionSlot() = default;
  ConnectionSlot(ConnectionSlot&& other) noexcept
      : slots_(std::exchange(other.slots_, nullptr)) {}
  ConnectionSlot& operator=(ConnectionSlot&& other) noexcept {
    if (this != &other) {
      Release();
      slots_ = std::exchange(other.slots_, nullptr);
    }
    return *this;
  }
  ~ConnectionSlot() { Release(); }

  explicit operator bool() const { return slots_ != nullptr; }

 private:
  friend class ConnectionSlots;
  explicit ConnectionSlot(ConnectionSlots* slots) : slots_(slots) {}
  void Release();

  ConnectionSlots* slots_ = nullptr;
};

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
      return ConnectionSlot();
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
  friend class ConnectionSlot;

  const int max_open_;
  std::atomic<int> open_{0};
  std::atomic<uint64_t> accepted_{0};
  std::atomic<uint64_t> refused_{0};
};

inline void ConnectionSlot::Release() {
  if (slots_ == nullptr) return;
  slots_->open_.fetch_sub(1, std::memory_order_relaxed);
  slots_ = nullptr;
}

}  // namespace pendrakel::server

#endif  // PENDRAKEL_SERVER_IO_CONNECTION_SLOTS_H_
