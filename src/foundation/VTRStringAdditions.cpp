#include "foundation/VTRStringAdditions.h"

#include <pwd.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <random>
#include <vector>

#include <fmt/format.h>

namespace vtr {

namespace {

// White space and line breaks as Unicode sees them: the Z categories, tab to carriage return
// and NEL.
bool isWhitespaceOrNewline(char32_t c) {
    return c == 0x20 || (c >= 0x09 && c <= 0x0D) || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

// The code point that starts `text` and its byte length; malformed UTF-8 reads as one byte of
// value 0xFFFD, which is not white space.
char32_t decodeFront(std::string_view text, size_t* length) {
    auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char lead = byte(0);
    size_t count = lead < 0x80           ? 1
                   : (lead >> 5) == 0x6  ? 2
                   : (lead >> 4) == 0xE  ? 3
                   : (lead >> 3) == 0x1E ? 4
                                         : 0;
    *length = 1;
    if (count == 1) return lead;
    if (count == 0 || count > text.size()) return 0xFFFD;
    char32_t c = lead & (0x7F >> count);
    for (size_t i = 1; i < count; ++i) {
        if ((byte(i) & 0xC0) != 0x80) return 0xFFFD;
        c = (c << 6) | (byte(i) & 0x3F);
    }
    *length = count;
    return c;
}

// The start of the last code point: back over at most three continuation bytes.
size_t lastCodePointStart(std::string_view text) {
    size_t start = text.size() - 1;
    for (int k = 0; k < 3 && start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80;
         ++k)
        --start;
    return start;
}

int base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

bool isUnreservedURLCharacter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           std::string_view("-_.!~*'()").find(c) != std::string_view::npos;
}

}  // namespace

std::string trimSlash(std::string_view text) {
    size_t first = text.find_first_not_of('/');
    if (first == std::string_view::npos) return {};
    size_t last = text.find_last_not_of('/');
    return std::string(text.substr(first, last - first + 1));
}

std::string_view trimWhitespaceAndNewlines(std::string_view text) {
    while (!text.empty()) {
        size_t length = 0;
        if (!isWhitespaceOrNewline(decodeFront(text, &length))) break;
        text.remove_prefix(length);
    }
    while (!text.empty()) {
        size_t start = lastCodePointStart(text);
        size_t length = 0;
        char32_t c = decodeFront(text.substr(start), &length);
        if (start + length != text.size() || !isWhitespaceOrNewline(c)) break;
        text.remove_suffix(length);
    }
    return text;
}

bool isEmpty(std::string_view text) {
    return trimWhitespaceAndNewlines(text).empty();
}

std::optional<VTRDecimal> numberFromServerString(std::string_view text) {
    return VTRDecimal::fromString(text);
}

std::optional<VTRDecimal> numberFromServerString(const VTRValue* value) {
    if (!value || !value->isString()) return std::nullopt;
    return VTRDecimal::fromString(value->stringValue());
}

std::optional<VTRBytes> base64DecodedData(std::string_view text) {
    std::string clean;
    clean.reserve(text.size());
    for (char c : text)
        if (c == '=' || base64Value(c) >= 0) clean += c;
    if (clean.size() % 4 != 0) return std::nullopt;
    size_t padding = 0;
    while (padding < clean.size() && padding < 2 && clean[clean.size() - 1 - padding] == '=')
        ++padding;
    // Any other "=" stands where data must be.
    if (clean.find('=') < clean.size() - padding) return std::nullopt;

    VTRBytes bytes;
    bytes.reserve(clean.size() / 4 * 3);
    for (size_t i = 0; i < clean.size(); i += 4) {
        uint32_t group = 0;
        size_t real = 0;
        for (size_t k = 0; k < 4; ++k) {
            int value = base64Value(clean[i + k]);
            if (value >= 0) ++real;
            group = (group << 6) | static_cast<uint32_t>(value < 0 ? 0 : value);
        }
        for (size_t k = 0; k + 1 < real; ++k)
            bytes.push_back(static_cast<uint8_t>(group >> (16 - 8 * k)));
    }
    return bytes;
}

std::map<std::string, std::string> queryParameters(std::string_view text) {
    std::map<std::string, std::string> parameters;
    size_t start = 0;
    for (;;) {
        size_t end = text.find('&', start);
        std::string_view piece =
            text.substr(start, end == std::string_view::npos ? end : end - start);
        size_t equals = piece.find('=');
        if (equals != std::string_view::npos &&
            piece.find('=', equals + 1) == std::string_view::npos)
            parameters[std::string(piece.substr(0, equals))] =
                std::string(piece.substr(equals + 1));
        if (end == std::string_view::npos) break;
        start = end + 1;
    }
    return parameters;
}

std::string urlEncode(std::string_view text) {
    std::string encoded;
    encoded.reserve(text.size());
    for (char c : text) {
        if (isUnreservedURLCharacter(c))
            encoded += c;
        else
            encoded += fmt::format("%{:02X}", static_cast<unsigned char>(c));
    }
    return encoded;
}

std::string stringWithUUID() {
    std::random_device source;
    std::array<uint8_t, 16> bytes;
    for (size_t i = 0; i < bytes.size(); i += 4) {
        uint32_t word = source();
        for (size_t k = 0; k < 4; ++k) bytes[i + k] = static_cast<uint8_t>(word >> (8 * k));
    }
    bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4: random
    bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
    std::string text;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
        text += fmt::format("{:02X}", bytes[i]);
    }
    return text;
}

std::string homeDirectory() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
    passwd entry;
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_dir)
        return found->pw_dir;
    return "/";
}

std::string standardizedPath(std::string_view path) {
    std::string expanded;
    if (path == "~" || path.starts_with("~/"))
        expanded = homeDirectory() + std::string(path.substr(1));
    else
        expanded = std::string(path);
    if (expanded.empty()) return expanded;

    bool absolute = expanded.front() == '/';
    std::vector<std::string_view> components;
    std::string_view rest = expanded;
    while (!rest.empty()) {
        size_t slash = rest.find('/');
        std::string_view component = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
        if (component.empty() || component == ".") continue;
        if (component == ".." && !components.empty() && components.back() != "..") {
            components.pop_back();
            continue;
        }
        // ".." at the root stays at the root; a relative path keeps its leading "..".
        if (component == ".." && absolute) continue;
        components.push_back(component);
    }
    std::string standardized = absolute ? "/" : "";
    for (size_t i = 0; i < components.size(); ++i) {
        if (i > 0) standardized += '/';
        standardized += components[i];
    }
    return standardized.empty() ? "." : standardized;
}

// A plain text prefix test would put "/home/bobby" under "/home/bob"; the home directory
// must match whole path components.
std::optional<std::string> pathRelativeToHome(std::string_view path) {
    std::string home = standardizedPath(homeDirectory());
    std::string standardized = standardizedPath(path);
    if (standardized == home) return std::string();
    if (home == "/") {
        if (standardized.starts_with("/")) return standardized.substr(1);
        return std::nullopt;
    }
    if (standardized.size() > home.size() && standardized.starts_with(home) &&
        standardized[home.size()] == '/')
        return standardized.substr(home.size() + 1);
    return std::nullopt;
}

bool isUnderHomeDirectory(std::string_view path) {
    return pathRelativeToHome(path).has_value();
}

}  // namespace vtr
