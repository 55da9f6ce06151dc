// VTRGuid: a GUID value sent to the recording service as a typed SOAP element. It keeps its text
// exactly as given: never parsed, validated or normalised. Plain value type; any thread.
#pragma once

#include <string>

namespace vtr {

class VTRGuid {
  public:
    VTRGuid() : theGuid_("00000000-0000-0000-0000-000000000000") {}
    explicit VTRGuid(std::string text) : theGuid_(std::move(text)) {}
    static VTRGuid guidWithString(std::string text) { return VTRGuid(std::move(text)); }

    const std::string& theGuid() const { return theGuid_; }
    void setTheGuid(std::string text) { theGuid_ = std::move(text); }
    const std::string& stringValue() const { return theGuid_; }

    // The SOAP fragment <guid xsi:type="s1:guid">TEXT</guid>, the text inserted unescaped.
    std::string soapParameterValue() const;

    bool operator==(const VTRGuid&) const = default;

  private:
    std::string theGuid_;
};

}  // namespace vtr
