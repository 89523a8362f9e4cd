// Descriptor limit: at start the host raises its soft RLIMIT_NOFILE to the
// hard limit, and fits the connection limit to what the descriptors then
// allow: every connection is one descriptor, and kSpareDescriptors stay for
// the listening sockets, event loops, the module's files, the access log
// and a refused client's brief accept, plus kMaxAdminConnections for the
// admin port. A connection limit above that would leave clients accepted by
// the kernel and never answered.
//
// Main thread, before any other thread starts.
#ifndef PENDRAKEL_SERVER_OPS_DESCRIPTOR_LIMIT_H_
#define PENDRAKEL_SERVER_OPS_DESCRIPTOR_LIMIT_H_

#include <cstdint>
#include <string>

namespace pendrakel::server {

struct DescriptorFit {
  // The connection limit in force: `wanted`, or less when the descriptors
  // do not allow it (at least 1).
  int max_connections = 0;
  // The soft descriptor limit after raising it.
  uint64_t descriptors = 0;
  // One line for the operator when the limit was lowered; else empty.
  std::string note;
};

// Raises the soft descriptor limit as far as the hard one goes, then fits
// `wanted` connections into it.
DescriptorFit FitConnectionsToDescriptors(int wanted);

// The connection limit that `descriptors` allow for `wanted` (at least 1).
int ConnectionsAllowed(int wanted, uint64_t descriptors);

}  // namespace pendrakel::server

#endif  // PENDRAKEL_SERVER_OPS_DESCRIPTOR_LIMIT_H_
