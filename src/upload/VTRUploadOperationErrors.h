// The errors an upload operation builds about its local files, and helpers for the error
// out-parameters of the upload service. Free functions: any thread.
#pragma once

#include <string>

#include "foundation/VTRError.h"

namespace vtr {

class VTRFileInputStream;

// A filled error out-parameter has a domain; a fresh one has none.
inline bool isFilled(const VTRError& error) {
    return !error.domain().empty();
}

// The error's details, for the log.
std::string detailsDescription(const VTRError& error);

// A FIFO, device, socket or directory: nothing that could be uploaded, and reading one could
// block or never end.
VTRError notRegularFileError(const std::string& path);

// Why `stream` could not be opened: not a regular file, or `cause`.
VTRError streamOpenError(const VTRFileInputStream& stream, const VTRError& cause);

}  // namespace vtr
