// Conversion of parsed JSON into the system's dynamic value, for responses built from JSON.
// A pure function: any thread.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include "foundation/VTRValue.h"

namespace vtr {

// JSON null becomes the null marker; numbers keep their integer or floating kind.
VTRValue valueFromJSON(const nlohmann::json& value);

}  // namespace vtr
