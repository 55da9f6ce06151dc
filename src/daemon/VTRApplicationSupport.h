// Where per-user application data lives: $XDG_DATA_HOME, else $HOME/.local/share, else the
// password database's home directory + "/.local/share". Any thread.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace vtr {

// `environment` reads a variable (nullptr when unset); tests pass their own.
using VTREnvironmentLookup = std::function<const char*(const char*)>;

// Nothing when no location can be determined.
std::optional<std::string> applicationSupportDirectory(
    const VTREnvironmentLookup& environment = nullptr);

}  // namespace vtr
