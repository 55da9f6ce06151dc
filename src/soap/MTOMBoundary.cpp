#include "soap/MTOMBoundary.h"

#include <regex.h>

namespace vtr {

namespace {

struct CompiledRegex {
    regex_t regex{};
    bool valid = false;
    explicit CompiledRegex(const char* pattern) {
        valid = regcomp(&regex, pattern, REG_EXTENDED) == 0;
    }
    ~CompiledRegex() {
        if (valid) regfree(&regex);
    }
    CompiledRegex(const CompiledRegex&) = delete;
    CompiledRegex& operator=(const CompiledRegex&) = delete;
};

}  // namespace

std::optional<std::string> MTOMBoundary(const std::string* contentType) {
    if (!contentType) return std::nullopt;
    // regexec is safe to call from several threads on one compiled expression.
    static const CompiledRegex boundaryParameter("boundary=([^;]*);?");
    if (!boundaryParameter.valid) return std::nullopt;
    regmatch_t matches[2];
    if (regexec(&boundaryParameter.regex, contentType->c_str(), 2, matches, 0) != 0 ||
        matches[1].rm_so < 0) {
        return std::nullopt;
    }
    std::string boundary =
        contentType->substr(static_cast<size_t>(matches[1].rm_so),
                            static_cast<size_t>(matches[1].rm_eo - matches[1].rm_so));
    size_t first = boundary.find_first_not_of('"');
    if (first == std::string::npos) return std::string();
    size_t last = boundary.find_last_not_of('"');
    return boundary.substr(first, last - first + 1);
}

}  // namespace vtr
