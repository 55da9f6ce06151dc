#include "httpserver/VTRJSONResponse.h"

#include <cmath>
#include <type_traits>

#include <fmt/format.h>

#include "foundation/VTRError.h"
#include "logging/VTRLog.h"

namespace vtr {

namespace {

// Length of the well-formed UTF-8 sequence at s[i], or 0 (overlong forms, surrogates and code
// points above U+10FFFF are not well-formed).
size_t utf8SequenceLength(std::string_view s, size_t i) {
    auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char c = byte(i);
    size_t remaining = s.size() - i;
    auto continuation = [&](size_t k) { return (byte(k) & 0xC0) == 0x80; };
    if (c < 0x80) return 1;
    if (c >= 0xC2 && c <= 0xDF) return remaining >= 2 && continuation(i + 1) ? 2 : 0;
    if (c >= 0xE0 && c <= 0xEF) {
        if (remaining < 3 || !continuation(i + 1) || !continuation(i + 2)) return 0;
        unsigned char c1 = byte(i + 1);
        if (c == 0xE0 && c1 < 0xA0) return 0;   // overlong
        if (c == 0xED && c1 >= 0xA0) return 0;  // surrogate
        return 3;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        if (remaining < 4 || !continuation(i + 1) || !continuation(i + 2) || !continuation(i + 3))
            return 0;
        unsigned char c1 = byte(i + 1);
        if (c == 0xF0 && c1 < 0x90) return 0;   // overlong
        if (c == 0xF4 && c1 >= 0x90) return 0;  // above U+10FFFF
        return 4;
    }
    return 0;
}

bool writeString(std::string_view s, std::string& out) {
    out.push_back('"');
    size_t i = 0;
    while (i < s.size()) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c >= 0x80) {
            size_t length = utf8SequenceLength(s, i);
            if (length == 0) return false;
            out.append(s.substr(i, length));
            i += length;
            continue;
        }
        switch (c) {
            case '"':
                out.append("\\\"");
                break;
            case '\\':
                out.append("\\\\");
                break;
            case '\b':
                out.append("\\b");
                break;
            case '\f':
                out.append("\\f");
                break;
            case '\n':
                out.append("\\n");
                break;
            case '\r':
                out.append("\\r");
                break;
            case '\t':
                out.append("\\t");
                break;
            default:
                if (c < 0x20)
                    fmt::format_to(std::back_inserter(out), "\\u{:04x}", c);
                else
                    out.push_back(static_cast<char>(c));
        }
        ++i;
    }
    out.push_back('"');
    return true;
}

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
                return writeString(v, out);
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
                    if (!writeString(key, out)) return false;
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
