// UploadPace: the minimum rate at which a client must send a request body.
// Time is cut into windows of the read time-out; a client that sends nothing
// for a whole window, or fewer than `min_rate` bytes per second over one, is
// too slow. So a client trickling a byte now and then is cut off as surely as
// a silent one, while a slow but steady link goes on for as long as its body
// needs, up to one deadline: a body of declared length must also average
// `min_average` bytes per second over its whole length (after one window of
// grace), so an upload holds what it reserved for its length (the store's
// memory, the upload budget) for a bounded time.
//
// One per connection, used by its I/O thread only.
#ifndef PENDRAKEL_SERVER_IO_UPLOAD_PACE_H_
#define PENDRAKEL_SERVER_IO_UPLOAD_PACE_H_

#include <algorithm>
#include <chrono>
#include <cstdint>

namespace pendrakel::server {

class UploadPace {
 public:
  using Clock = std::chrono::steady_clock;

  // `min_average` 0: no deadline for the whole body.
  UploadPace(std::chrono::seconds window, uint64_t min_rate,
             uint64_t min_average)
      : window_(window),
        min_window_bytes_(min_rate * window.count()),
        min_average_(min_average) {}

  // A body begins now; `declared_bytes` more of it are to come (0 when its
  // length is not known).
  void Start(Clock::time_point now, uint64_t declared_bytes = 0) {
    window_start_ = last_progress_ = now;
    window_bytes_ = 0;
    deadline_ = Clock::time_point::max();
    if (declared_bytes > 0 && min_average_ > 0) {
      const std::chrono::seconds whole((declared_bytes + min_average_ - 1) /
                                       min_average_);
      deadline_ = now + window_ + whole;
    }
  }
  void Add(uint64_t bytes, Clock::time_point now) {
    window_bytes_ += bytes;
    last_progress_ = now;
  }
  // The earliest time at which TooSlow may say true.
  Clock::time_point next_check() const {
    return std::min(std::min(last_progress_, window_start_) + window_,
                    deadline_);
  }
  // True once the client has stayed silent for a window, or sent too
  // little over a whole one, or the whole body's deadline has passed; a
  // window that was fast enough starts the next.
  bool TooSlow(Clock::time_point now) {
    if (now >= deadline_) return true;
    if (now - last_progress_ >= window_) return true;
    if (now - window_start_ < window_) return false;
    const bool slow = window_bytes_ < min_window_bytes_;
    window_start_ = now;
    window_bytes_ = 0;
    return slow;
  }

 private:
  const std::chrono::seconds window_;
  const uint64_t min_window_bytes_;
  const uint64_t min_average_;
  Clock::time_point deadline_ = Clock::time_point::max();
  Clock::time_point window_start_;
  Clock::time_point last_progress_;
  uint64_t window_bytes_ = 0;
};

}  // namespace pendrakel::server

#endif  // PENDRAKEL_SERVER_IO_UPLOAD_PACE_H_
