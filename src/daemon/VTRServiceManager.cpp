#include "daemon/VTRServiceManager.h"

#include <systemd/sd-daemon.h>

namespace vtr {

// A failure to send is not the daemon's to handle: without a service manager listening, the
// daemon works as it would without one.
void notifyServiceReady() {
    ::sd_notify(0, "READY=1");
}

void notifyServiceStopping() {
    ::sd_notify(0, "STOPPING=1");
}

}  // namespace vtr
