#include "httpserver/VTRJSONResponse.h"

#include <cmath>
#include <type_traits>

#include <fmt/format.h>

#include "foundation/VTRError.h"
#include "foundation/VTRJSONTextWriter.h"
#include "logging/VTRLog.h"

namespace vtr {

namespace {

bool writeValue(const VTRValue& value, std::string& out, int depth) {
    // Values are trees of shared parts; the bound keeps a pathological one from exhausting the
    // stack.
    if (depth > 512) return false;
    return std::visit(
        [&](const auto& v) -> bool {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, VTRNull>) {
                out.append("null");
            } else if constexpr (std::is_same_v<T, bool>) {
                out.append(v ? "true" : "false");
            } else if constexpr (std::is_same_v<T, int32_t> || std::is_same_v<T, int64_t> ||
                                 std::is_same_v<T, uint32_t> || std::is_same_v<T, uint64_t>) {
                fmt::format_to(std::back_inserter(out), "{}", v);
            } else if constexpr (std::is_same_v<T, double>) {
                if (!std::isfinite(v)) return false;
                fmt::format_to(std::back_inserter(out), "{}", v);
            } else if constexpr (std::is_same_v<T, std::string>) {
                return VTRJSONTextWriter::appendString(v, out);
            } else if constexpr (std::is_same_v<T, std::shared_ptr<const VTRArray>>) {
                out.push_back('[');
                bool first = true;
                for (const VTRValue& element : *v) {
                    if (!first) out.push_back(',');
                    first = false;
                    if (!writeValue(element, out, depth + 1)) return false;
                }
                out.push_back(']');
            } else if constexpr (std::is_same_v<T, std::shared_ptr<const VTRDictionary>>) {
                out.push_back('{');
                bool first = true;
                for (const auto& [key, element] : *v) {
                    if (!first) out.push_back(',');
                    first = false;
                    if (!VTRJSONTextWriter::appendString(key, out)) return false;
                    out.push_back(':');
                    if (!writeValue(element, out, depth + 1)) return false;
                }
                out.push_back('}');
            } else {
                // Bytes, GUIDs and errors have no JSON form.
                return false;
            }
            return true;
        },
        value.storage());
}

std::string bodyFor(const std::optional<VTRValue>& object) {
    if (object) {
        if (std::optional<std::string> json = VTRJSONResponse::JSONData(*object))
            return std::move(*json);
    }
    VTRLogWarn("Unable to create JSON data for object: {}",
               object ? object->description() : std::string("(null)"));
    return {};
}

}  // namespace

std::optional<std::string> VTRJSONResponse::JSONData(const VTRValue& value) {
    std::string out;
    if (!writeValue(value, out, 0)) return std::nullopt;
    return out;
}

VTRJSONResponse::VTRJSONResponse(const std::optional<VTRValue>& object, int64_t statusCode)
    : HTTPDataResponse(bodyFor(object)), statusCode_(statusCode) {}

HTTPHeaderList VTRJSONResponse::httpHeaders() const {
    return {{"Content-Type", "application/json"}};
}

}  // namespace vtr
