#include "foundation/VTRGuid.h"

namespace vtr {

// The text goes in as it is: the service expects the GUID exactly as the caller holds it.
std::string VTRGuid::soapParameterValue() const {
    return "<guid xsi:type=\"s1:guid\">" + theGuid_ + "</guid>";
}

}  // namespace vtr
