#include "foundation/VTRError.h"

#include <fmt/format.h>

namespace vtr {

VTRError VTRError::withDescription(std::string domain, int64_t code, std::string description,
                                   std::string failureReason) {
    VTRDictionary userInfo;
    userInfo[NSLocalizedDescriptionKey] = VTRValue(std::move(description));
    if (!failureReason.empty())
        userInfo[NSLocalizedFailureReasonErrorKey] = VTRValue(std::move(failureReason));
    return VTRError(std::move(domain), code, std::move(userInfo));
}

std::string VTRError::localizedDescription() const {
    const VTRValue* text = find(userInfo_, NSLocalizedDescriptionKey);
    if (text && text->isString()) return text->stringValue();
    return fmt::format("The operation couldn't be completed. ({} error {}.)", domain_, code_);
}

std::string VTRError::localizedFailureReason() const {
    const VTRValue* text = find(userInfo_, NSLocalizedFailureReasonErrorKey);
    return text ? text->stringValue() : std::string();
}

const VTRError* VTRError::innerError() const {
    const VTRValue* inner = find(userInfo_, VTRInnerErrorKey);
    return inner ? inner->errorValue() : nullptr;
}

std::string VTRError::description() const {
    std::string details;
    for (const auto& [key, value] : userInfo_) {
        if (!details.empty()) details += ", ";
        details += key + "=" + value.description();
    }
    return fmt::format("Error Domain={} Code={} \"{}\" UserInfo={{{}}}", domain_, code_,
                       localizedDescription(), details);
}

}  // namespace vtr
