#include "api/VTRJobLogForm.h"

#include <algorithm>
#include <iterator>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

namespace vtr {

namespace {

using json = nlohmann::json;

// The log gets at most this much of a foreign text.
constexpr size_t kMaxLoggedBytes = 4096;
constexpr std::string_view kMask = "********";

std::string withoutCredentials(std::string_view body) {
    static constexpr std::string_view kKey = "\"credentials\"";
    static constexpr std::string_view kSpace = " \t\r\n";
    static constexpr std::string_view kValueEnd = ",}]\r\n";
    std::string out;
    size_t copied = 0;
    for (size_t key = body.find(kKey); key != std::string_view::npos;
         key = body.find(kKey, copied)) {
        size_t position = key + kKey.size();
        auto skipSpace = [&] {
            while (position < body.size() && kSpace.find(body[position]) != kSpace.npos) ++position;
        };
        skipSpace();
        if (position >= body.size() || body[position] != ':') {
            out.append(body.substr(copied, position - copied));
            copied = position;
            continue;
        }
        ++position;
        skipSpace();
        size_t valueStart = position;
        if (position < body.size() && body[position] == '"') {
            // Up to the closing quote that is not escaped, or the end of the text.
            ++valueStart;
            ++position;
            while (position < body.size() && body[position] != '"')
                position += body[position] == '\\' ? 2 : 1;
            position = std::min(position, body.size());
        } else {
            while (position < body.size() && kValueEnd.find(body[position]) == kValueEnd.npos)
                ++position;
        }
        out.append(body.substr(copied, valueStart - copied));
        out.append(kMask);
        copied = position;
    }
    out.append(body.substr(copied));
    return out;
}

}  // namespace

std::string describePostedJob(const json& posted) {
    if (!posted.is_object() || !posted.contains("credentials"))
        return posted.dump(-1, ' ', false, json::error_handler_t::replace);
    json shown = posted;
    shown["credentials"] = std::string(kMask);
    return shown.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string describeUnparsedBody(std::string_view body) {
    return printableASCII(withoutCredentials(body));
}

std::string printableASCII(std::string_view text) {
    std::string out;
    std::string_view shown = text.substr(0, kMaxLoggedBytes);
    for (char c : shown) {
        auto byte = static_cast<unsigned char>(c);
        if (c == '\\') {
            out.append("\\\\");
        } else if (byte >= 0x20 && byte < 0x7F) {
            out.push_back(c);
        } else if (c == '\n') {
            out.append("\\n");
        } else if (c == '\r') {
            out.append("\\r");
        } else if (c == '\t') {
            out.append("\\t");
        } else {
            fmt::format_to(std::back_inserter(out), "\\x{:02x}", byte);
        }
    }
    if (shown.size() < text.size())
        fmt::format_to(std::back_inserter(out), "... ({} bytes)", text.size());
    return out;
}

std::string parserMessageWithoutInput(std::string message) {
    size_t token = message.find("; last read: '");
    if (token != std::string::npos) {
        size_t expected = message.find("'; expected ", token);
        message.erase(token,
                      expected == std::string::npos ? std::string::npos : expected + 1 - token);
    }
    return message;
}

}  // namespace vtr
