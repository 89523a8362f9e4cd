#include "server/ops/service_notify.h"

#include <systemd/sd-daemon.h>

namespace pendrakel::server {

// The environment is kept (unset_environment = 0) so that STOPPING=1 can
// follow READY=1 through the same socket.
void NotifyReady(const std::string& status) {
  sd_notifyf(0, "READY=1\nSTATUS=%s", status.c_str());
}

void NotifyStopping() { sd_notify(0, "STOPPING=1"); }

}  // namespace pendrakel::server
