#include "daemon/VTRApplicationSupport.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace vtr {

namespace {

// Only absolute paths count: a relative one would move with the working directory.
bool usable(const char* path) {
    return path && path[0] == '/';
}

std::optional<std::string> passwordDatabaseHome() {
    long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<size_t>(suggested) : 16384);
    struct passwd entry {};
    struct passwd* result = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &result) != 0 || !result)
        return std::nullopt;
    if (!usable(result->pw_dir)) return std::nullopt;
    return std::string(result->pw_dir);
}

}  // namespace

std::optional<std::string> applicationSupportDirectory(const VTREnvironmentLookup& environment) {
    auto lookup = [&](const char* name) -> const char* {
        return environment ? environment(name) : std::getenv(name);
    };
    if (const char* dataHome = lookup("XDG_DATA_HOME"); usable(dataHome))
        return std::string(dataHome);
    std::optional<std::string> home;
    if (const char* homeVariable = lookup("HOME"); usable(homeVariable))
        home = homeVariable;
    else
        home = passwordDatabaseHome();
    if (!home) return std::nullopt;
    if (home->size() > 1 && home->back() == '/') home->pop_back();
    return (*home == "/" ? "" : *home) + "/.local/share";
}

}  // namespace vtr
