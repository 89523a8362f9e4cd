#include "server/io/traffic_counters.h"

#include <utility>

namespace pendrakel::server {
namespace {

size_t StatusSlot(int status) {
  if (status < kFirstCountedStatus || status > kLastCountedStatus)
    status = 500;  // a status text the host could not read a code from
  return static_cast<size_t>(status - kFirstCountedStatus);
}

}  // namespace

void TrafficCounters::CountRequest(int status, std::chrono::nanoseconds took) {
  by_status[StatusSlot(status)].Add(1);
  const double seconds = std::chrono::duration<double>(took).count();
  size_t bucket = 0;
  while (bucket < kDurationBucketSeconds.size() &&
         seconds > kDurationBucketSeconds[bucket]) {
    ++bucket;
  }
  duration_buckets[bucket].Add(1);
  duration_nanoseconds.Add(static_cast<uint64_t>(took.count()));
}

void TrafficCounters::CountRefusal(int status) {
  by_status[StatusSlot(status)].Add(1);
  const std::pair<int, OwnedCount TrafficCounters::*> kLimitCounts[] = {
      {408, &TrafficCounters::timeouts},
      {413, &TrafficCounters::bodies_too_large},
      {431, &TrafficCounters::heads_too_large},
      {503, &TrafficCounters::unavailable},
  };
  for (const auto& [code, count] : kLimitCounts) {
    if (code == status) (this->*count).Add(1);
  }
}

}  // namespace pendrakel::server
