// VTRJSONResponse: a data response whose body is a value written as compact JSON in UTF-8, sent
// with "Content-Type: application/json" and a chosen status. Used on the connection queue only.
#pragma once

#include <optional>
#include <string>

#include "foundation/VTRValue.h"
#include "httpserver/HTTPDataResponse.h"

namespace vtr {

class VTRJSONResponse : public HTTPDataResponse {
  public:
    // A value that cannot be written as JSON (bytes, a GUID, an error, a non-finite double,
    // text that is not UTF-8), or no value at all, gives an empty body and a warning; the
    // status is kept either way.
    explicit VTRJSONResponse(const std::optional<VTRValue>& object, int64_t statusCode = 200);

    int64_t statusCode() const { return statusCode_; }
    int status() const override { return static_cast<int>(statusCode_); }
    HTTPHeaderList httpHeaders() const override;
    // The body as text.
    std::string description() const { return data(); }

    // Compact JSON text of `value`, or nothing when some part of it has no JSON form.
    static std::optional<std::string> JSONData(const VTRValue& value);

  private:
    int64_t statusCode_;
};

}  // namespace vtr
