// vantrel-uploadd: the upload daemon's entry point.
#include <cstdio>
#include <cstdlib>

#include "daemon/VTRUploadDaemon.h"
#include "foundation/VTRHeapSettings.h"
#include "logging/VTRLog.h"

int main(int argc, char** argv) {
    vtr::configureHeapForDaemon();
    // Deliberately never destroyed: the crash handlers reach it through instance() until the
    // process is gone.
    static auto* daemon = new vtr::VTRUploadDaemon(std::vector<std::string>(argv, argv + argc));
    int status = daemon->start() ? 0 : 1;
    // Ends without static destructors, as a signal does: the job service's workers may still be
    // inside an upload, and tearing the shared objects down under them would hang or crash the
    // exit. Buffered output is flushed first.
    vtr::VTRLog::flush();
    std::fflush(nullptr);
    std::_Exit(status);
}
