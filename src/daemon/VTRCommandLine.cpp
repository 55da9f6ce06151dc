#include "daemon/VTRCommandLine.h"

#include <algorithm>
#include <cerrno>

#include <fmt/format.h>

namespace vtr {

VTRCommandLine::VTRCommandLine(std::vector<std::string> arguments)
    : arguments_(std::move(arguments)) {}

VTRCommandLine::VTRCommandLine(int argc, const char* const* argv) : arguments_(argv, argv + argc) {}

bool VTRCommandLine::contains(std::string_view option) const {
    return std::find(arguments_.begin(), arguments_.end(), option) != arguments_.end();
}

std::optional<std::string> VTRCommandLine::valueFor(std::string_view option) const {
    auto found = std::find(arguments_.begin(), arguments_.end(), option);
    if (found == arguments_.end() || std::next(found) == arguments_.end()) return std::nullopt;
    return *std::next(found);
}

std::string VTRCommandLine::processName() const {
    if (arguments_.empty() || arguments_.front().empty()) return program_invocation_short_name;
    const std::string& path = arguments_.front();
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string VTRCommandLine::usageText(const std::string& processName) {
    return fmt::format(
        "usage: {} [options]\n"
        "  options:\n"
        "    -h Show usage help\n"
        "    -o Also send logging to STDOUT\n"
        "    -l Set minimum log info. One of [verbose|info|warn|error]\n"
        "    -b RATE Limit all uploads together to RATE bytes per second (suffix K, M or G;\n"
        "       0: no limit). Replaces the limit stored by an earlier run or set over the API\n"
        "    -c FILE Also trust the certificate authorities in FILE (PEM) for the recording "
        "service\n",
        processName);
}

std::optional<std::string> resolvedPath(const std::vector<std::string>& arguments) {
    return VTRCommandLine(arguments).valueFor("-p");
}

}  // namespace vtr
