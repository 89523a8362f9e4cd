// Service manager notifications: tells systemd (or any manager speaking its
// notification protocol through $NOTIFY_SOCKET) when the host is ready and
// when it starts to stop, so that a Type=notify unit orders its dependants
// after the port is open and knows a shutdown is under way.
//
// Both calls do nothing when the host was not started by such a manager
// ($NOTIFY_SOCKET unset) and never fail the caller: a lost notification is
// the manager's to time out. Call them from the main thread only.
#ifndef PENDRAKEL_SERVER_OPS_SERVICE_NOTIFY_H_
#define PENDRAKEL_SERVER_OPS_SERVICE_NOTIFY_H_

#include <string>

namespace pendrakel::server {

// REQUIRES: the port is open and the module has started. Sends READY=1 with
// `status` (for example "listening on 127.0.0.1:8080") as the unit's status.
void NotifyReady(const std::string& status);

// Sends STOPPING=1: the shutdown grace has begun.
void NotifyStopping();

}  // namespace pendrakel::server

#endif  // PENDRAKEL_SERVER_OPS_SERVICE_NOTIFY_H_
