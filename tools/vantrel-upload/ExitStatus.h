// The exit statuses of vantrel-upload, one per kind of outcome a script may want to tell apart,
// and the report of a failed request that picks one. Any thread.
#pragma once

#include <iosfwd>
#include <string>

#include "ControlClient.h"

namespace vtr::cli {

enum ExitStatus : int {
    ExitSucceeded = 0,
    // Anything else that went wrong: a watched job errored or stalled, the daemon's answer made
    // no sense, a request could not be carried.
    ExitFailed = 1,
    // Bad command line or bad input (a missing local file, a malformed job id...).
    ExitUsage = 2,
    // No daemon found, or the locator files name one that is not to be trusted.
    ExitDaemonNotRunning = 3,
    ExitJobNotFound = 4,
    // The daemon answered with a status the command cannot accept.
    ExitRefused = 5,
};

// Explains on `err` why `reply` is not the answer a command wanted, and returns the exit
// status for it: the daemon gone (3), no job `jobID` (4, for a 404 when `jobID` is set), the
// daemon refusing (5, with the HTTP status), or no answer at all (1). `request` names what
// was asked, as in "GET /jobs".
int reportFailedReply(const ControlClient::Reply& reply, const ControlClient& client,
                      const std::string& request, const std::string& jobID, std::ostream& err);

}  // namespace vtr::cli
