// Conversion of parsed JSON into the system's dynamic value, for responses built from JSON.
// A pure function: any thread.
#pragma once

#include <optional>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "foundation/VTRValue.h"

namespace vtr {

// JSON null becomes the null marker; numbers keep their integer or floating kind.
VTRValue valueFromJSON(const nlohmann::json& value);

// The compact JSON text VTRJSONResponse writes for valueFromJSON(value), written directly, for a
// value that holds no floating-point number (the two writers format those differently). Nothing
// when some text is not well-formed UTF-8.
std::optional<std::string> JSONTextWithoutFloats(const nlohmann::json& value);

}  // namespace vtr
