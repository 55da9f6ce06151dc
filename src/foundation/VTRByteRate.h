// Byte rates as people write them on a command line: a whole number of bytes per second with an
// optional suffix K, M or G (powers of 1024). Stateless; callable from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vtr {

// "0", "16384", "512K", "4M", "1G" (the suffix in either case); nothing for anything else,
// negative numbers, fractions and values past 2^63 included.
std::optional<uint64_t> parseByteRate(std::string_view text);

// The rate in the largest unit that divides it evenly ("4M", "1536K", "1000"); "0" is "0".
std::string formatByteRate(uint64_t bytesPerSecond);

}  // namespace vtr
