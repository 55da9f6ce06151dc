// Tells systemd's service manager where the daemon is in its life: ready once its locator files
// are written (a unit of Type=notify counts as started only then), stopping when it begins to
// end. Without NOTIFY_SOCKET in the environment nothing is sent. Any thread, the signal thread
// included: each call only sends one datagram.
#pragma once

namespace vtr {

void notifyServiceReady();
void notifyServiceStopping();

}  // namespace vtr
