#include "foundation/VTRNullAdditions.h"

#include "foundation/VTRStringAdditions.h"

namespace vtr {

bool isNull(const VTRValue* value) {
    return !value || value->isNull();
}

bool isNullOrEmpty(const VTRValue* value) {
    if (isNull(value)) return true;
    return value->isString() && isEmpty(value->stringValue());
}

}  // namespace vtr
