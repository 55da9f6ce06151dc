#include "foundation/VTRByteRate.h"

#include <charconv>

namespace vtr {

namespace {

constexpr uint64_t kLargest = uint64_t{1} << 63;

struct Unit {
    char suffix;
    uint64_t factor;
};
constexpr Unit kUnits[] = {{'G', uint64_t{1} << 30}, {'M', uint64_t{1} << 20}, {'K', 1024}};

}  // namespace

std::optional<uint64_t> parseByteRate(std::string_view text) {
    uint64_t factor = 1;
    if (!text.empty()) {
        char last = text.back();
        if (last >= 'a' && last <= 'z') last = static_cast<char>(last - 'a' + 'A');
        for (const Unit& unit : kUnits) {
            if (last == unit.suffix) {
                factor = unit.factor;
                text.remove_suffix(1);
            }
        }
    }
    uint64_t number = 0;
    const char* end = text.data() + text.size();
    auto [stop, error] = std::from_chars(text.data(), end, number);
    if (text.empty() || error != std::errc() || stop != end) return std::nullopt;
    if (number > kLargest / factor) return std::nullopt;
    return number * factor;
}

std::string formatByteRate(uint64_t bytesPerSecond) {
    for (const Unit& unit : kUnits) {
        if (bytesPerSecond != 0 && bytesPerSecond % unit.factor == 0)
            return std::to_string(bytesPerSecond / unit.factor) + unit.suffix;
    }
    return std::to_string(bytesPerSecond);
}

}  // namespace vtr
