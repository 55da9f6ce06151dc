#include "ExitStatus.h"

#include <ostream>

#include <fmt/format.h>

#include "foundation/VTRPrintableText.h"

namespace vtr::cli {

int reportFailedReply(const ControlClient::Reply& reply, const ControlClient& client,
                      const std::string& request, const std::string& jobID, std::ostream& err) {
    if (!reply.answered && reply.connectionRefused) {
        err << fmt::format(
            "vantrel-upload: the upload daemon is not running (nothing answers at port {})\n",
            client.port());
        return ExitDaemonNotRunning;
    }
    if (!reply.answered) {
        err << fmt::format(
            "vantrel-upload: {} got no answer from the upload daemon at port {}: {}\n",
            printableText(request), client.port(), printableText(reply.failure));
        return ExitFailed;
    }
    if (reply.status == 404 && !jobID.empty()) {
        err << fmt::format("vantrel-upload: no job with id {}\n", printableText(jobID));
        return ExitJobNotFound;
    }
    err << fmt::format("vantrel-upload: the upload daemon refused {} (HTTP {})\n",
                       printableText(request), describeHTTPStatus(reply.status));
    return ExitRefused;
}

}  // namespace vtr::cli
