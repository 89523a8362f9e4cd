// TrafficCounters: what one I/O thread has served, for the metrics page:
// requests by status code, the time the extension took for each, bytes
// received and sent, and the answers the host gave on its own for a limit.
//
// Threads: each I/O thread owns one and is its only writer, so a count is
// raised by a plain load and store (no locked instruction on the request
// path); the admin thread reads them at any time. Every field is a relaxed
// atomic for that reason alone: the figures are independent counts.
#ifndef PENDRAKEL_SERVER_IO_TRAFFIC_COUNTERS_H_
#define PENDRAKEL_SERVER_IO_TRAFFIC_COUNTERS_H_

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace pendrakel::server {

// A count with one writer.
class OwnedCount {
 public:
  void Add(uint64_t n) {
    value_.store(value_.load(std::memory_order_relaxed) + n,
                 std::memory_order_relaxed);
  }
  uint64_t Read() const { return value_.load(std::memory_order_relaxed); }

 private:
  std::atomic<uint64_t> value_{0};
};

// Upper bounds of the request-duration histogram's buckets, in seconds.
inline constexpr std::array<double, 16> kDurationBucketSeconds = {
    0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025,
    0.05,   0.1,     0.25,   0.5,   1,      2.5,   5,    10};

// Status codes 100 to 599 are counted one by one.
inline constexpr int kFirstCountedStatus = 100;
inline constexpr int kLastCountedStatus = 599;

struct TrafficCounters {
  // A request the extension answered with `status`, after `took`.
  void CountRequest(int status, std::chrono::nanoseconds took);
  // An answer the host gave on its own (a bad request, a limit).
  void CountRefusal(int status);

  std::array<OwnedCount, kLastCountedStatus - kFirstCountedStatus + 1>
      by_status;
  // Cumulative counts are made when the page is written; these are per
  // bucket, the last one past every bound.
  std::array<OwnedCount, kDurationBucketSeconds.size() + 1> duration_buckets;
  OwnedCount duration_nanoseconds;
  OwnedCount bytes_received;
  OwnedCount bytes_sent;
  // Answers the host gave for a limit: 408, 413, 431, 503.
  OwnedCount timeouts;
  OwnedCount bodies_too_large;
  OwnedCount heads_too_large;
  OwnedCount unavailable;
};

}  // namespace pendrakel::server

#endif  // PENDRAKEL_SERVER_IO_TRAFFIC_COUNTERS_H_
