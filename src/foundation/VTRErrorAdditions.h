// Sorting failures into cancellations and network-connectivity problems, which the job service
// treats as temporary. Pure functions; any thread.
#pragma once

#include "foundation/VTRError.h"

namespace vtr {

// A URL-loading cancellation, itself or wrapped directly under "innererrorkey" by a "Vantrel"
// error. Only that one level is opened: a wrapped "Vantrel" error is not looked into.
bool isCancelledOperationError(const VTRError& error);

// The same for the URL-loading errors that mean the network could not be used (time-out,
// host not found, cannot connect, connection lost, DNS failure, not connected).
bool isNetworkConnectivityError(const VTRError& error);

}  // namespace vtr
