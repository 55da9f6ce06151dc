// Tests for the null marker in parsed JSON and remote results. A nullptr value stands for an
// absent one (a missing dictionary entry). Pure functions; any thread.
#pragma once

#include "foundation/VTRValue.h"

namespace vtr {

// True when the value is absent or the null marker; false for everything else, including
// empty strings, 0 and false.
bool isNull(const VTRValue* value);

// True when isNull() holds or the value is a string with nothing but white space and line
// breaks. Any other kind of value is not empty.
bool isNullOrEmpty(const VTRValue* value);

}  // namespace vtr
