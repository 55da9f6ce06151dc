// MTOMBoundary: the boundary parameter of a multipart Content-Type value, found with the POSIX
// extended expression "boundary=([^;]*);?" and stripped of surrounding double quotes. Nothing
// when the value is absent or has no such parameter. Pure function; any thread.
#pragma once

#include <optional>
#include <string>

namespace vtr {

std::optional<std::string> MTOMBoundary(const std::string* contentType);

}  // namespace vtr
