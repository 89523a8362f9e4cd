// UploadBudget: the host-wide bound on body bytes of uploads in progress
// (--max-upload-bytes): the Content-Length an upload declares past the
// preload, which the module receives straight into its memory, and chunked
// bodies as they are gathered. A request holds its share through an
// UploadReservation, an owning handle that gives every byte back when it is
// released or destroyed.
//
// The budget never refuses the only upload in progress, so no body within
// --max-body waits for ever.
//
// Threads: reservations are used on their connection's I/O thread; the
// figures are read from any thread. The total is changed by compare-and-swap
// only, so two uploads never both pass against the same total.
#ifndef PENDRAKEL_SERVER_IO_UPLOAD_BUDGET_H_
#define PENDRAKEL_SERVER_IO_UPLOAD_BUDGET_H_

#include <atomic>
#include <cstdint>

namespace pendrakel::server {

class UploadBudget {
 public:
  explicit UploadBudget(uint64_t max_bytes) : max_bytes_(max_bytes) {}
  UploadBudget(const UploadBudget&) = delete;
  UploadBudget& operator=(const UploadBudget&) = delete;

  uint64_t bytes() const { return bytes_.load(std::memory_order_relaxed); }
  int uploads() const { return uploads_.load(std::memory_order_relaxed); }

 private:
  friend class UploadReservation;

  // Adds `more` to a reservation of `held` bytes; false when that would
  // pass the maximum while other uploads hold bytes too.
  bool Grow(uint64_t held, uint64_t more) {
    uint64_t total = bytes_.load(std::memory_order_relaxed);
    do {
      if (total != held && total + more > max_bytes_) return false;
    } while (!bytes_.compare_exchange_weak(total, total + more,
                                           std::memory_order_relaxed));
    if (held == 0) uploads_.fetch_add(1, std::memory_order_relaxed);
    return true;
  }
  void Give(uint64_t held) {
    bytes_.fetch_sub(held, std::memory_order_relaxed);
    uploads_.fetch_sub(1, std::memory_order_relaxed);
  }

  const uint64_t max_bytes_;
  std::atomic<uint64_t> bytes_{0};
  std::atomic<int> uploads_{0};
};

// One request's share of the budget. Not copyable; one per connection,
// released after every request.
class UploadReservation {
 public:
  explicit UploadReservation(UploadBudget& budget) : budget_(budget) {}
  ~UploadReservation() { Release(); }
  UploadReservation(const UploadReservation&) = delete;
  UploadReservation& operator=(const UploadReservation&) = delete;

  // Holds at least `total` bytes; false (holding what it held) when the
  // budget has no room.
  bool GrowTo(uint64_t total) {
    if (total <= held_) return true;
    if (!budget_.Grow(held_, total - held_)) return false;
    held_ = total;
    return true;
  }
  void Release() {
    if (held_ == 0) return;
    budget_.Give(held_);
    held_ = 0;
  }
  uint64_t held() const { return held_; }

 private:
  UploadBudget& budget_;
  uint64_t held_ = 0;
};

}  // namespace pendrakel::server

#endif  // PENDRAKEL_SERVER_IO_UPLOAD_BUDGET_H_
