// The daemon's command line. An option is an argument equal to it, exactly and case-sensitively,
// anywhere in the argument vector (the program path included); the first occurrence counts and
// its value is the argument right after it. Anything else is ignored. Plain value; any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vtr {

class VTRCommandLine {
  public:
    explicit VTRCommandLine(std::vector<std::string> arguments);
    VTRCommandLine(int argc, const char* const* argv);

    const std::vector<std::string>& arguments() const { return arguments_; }
    bool contains(std::string_view option) const;
    // The argument following the first occurrence of `option`; nothing when it is absent or last.
    std::optional<std::string> valueFor(std::string_view option) const;
    // The executable's file name, from the program path.
    std::string processName() const;

    static std::string usageText(const std::string& processName);

  private:
    std::vector<std::string> arguments_;
};

// The locator directory named by "-p", unchanged; nothing when "-p" is absent or last.
std::optional<std::string> resolvedPath(const std::vector<std::string>& arguments);

}  // namespace vtr
