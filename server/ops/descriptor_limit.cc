#include "server/ops/descriptor_limit.h"

#include <sys/resource.h>

#include <algorithm>

#include "server/limits.h"

namespace pendrakel::server {
namespace {

// The soft limit raised to the hard one; the soft one as it was when that
// is refused.
uint64_t RaiseSoftLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  if (limit.rlim_cur != limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  return limit.rlim_cur == RLIM_INFINITY
             ? UINT64_MAX
             : static_cast<uint64_t>(limit.rlim_cur);
}

}  // namespace

int ConnectionsAllowed(int wanted, uint64_t descriptors) {
  const uint64_t reserved = kSpareDescriptors + kMaxAdminConnections;
  const uint64_t room = descriptors > reserved ? descriptors - reserved : 1;
  return static_cast<int>(std::min<uint64_t>(static_cast<uint64_t>(wanted),
                                             std::max<uint64_t>(room, 1)));
}

DescriptorFit FitConnectionsToDescriptors(int wanted) {
  DescriptorFit fit;
  fit.descriptors = RaiseSoftLimit();
  fit.max_connections = fit.descriptors == 0
                            ? wanted
                            : ConnectionsAllowed(wanted, fit.descriptors);
  if (fit.max_connections < wanted) {
    fit.note = "--max-connections lowered from " + std::to_string(wanted) +
               " to " + std::to_string(fit.max_connections) +
               ": the descriptor limit is " + std::to_string(fit.descriptors);
  }
  return fit;
}

}  // namespace pendrakel::server
