#include "foundation/VTRPrintableText.h"

#include <cstdint>

namespace vtr {

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

void appendEscapedByte(std::string& out, unsigned char byte) {
    out += "\\x";
    out += kHexDigits[byte >> 4];
    out += kHexDigits[byte & 0xF];
}

bool isSchemeCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '-' || c == '.';
}

bool isLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Where the authority that starts at `start` ends: at the path, query or fragment, or at
// whatever cannot stand in a URL and so ends it in running text.
size_t authorityEnd(std::string_view text, size_t start) {
    static constexpr std::string_view kEnds = "/?#\"<>` \t\r\n\v\f";
    size_t end = text.find_first_of(kEnds, start);
    return end == std::string_view::npos ? text.size() : end;
}

}  // namespace

size_t multiByteSequenceLength(std::string_view text) {
    auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    auto continuation = [&](size_t i) { return i < text.size() && (byte(i) & 0xC0) == 0x80; };
    unsigned char lead = byte(0);
    size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
    if (length == 0 || lead > 0xF4) return 0;
    for (size_t i = 1; i < length; ++i)
        if (!continuation(i)) return 0;
    unsigned char second = byte(1);
    if (lead == 0xE0 && second < 0xA0) return 0;   // overlong
    if (lead == 0xED && second >= 0xA0) return 0;  // surrogate
    if (lead == 0xF0 && second < 0x90) return 0;   // overlong
    if (lead == 0xF4 && second >= 0x90) return 0;  // beyond U+10FFFF
    return length;
}

std::string printableText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        auto byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x20 && byte < 0x7F) {
            out += text[i++];
        } else if (byte == '\n') {
            out += "\\n";
            ++i;
        } else if (byte == '\r') {
            out += "\\r";
            ++i;
        } else if (byte == '\t') {
            out += "\\t";
            ++i;
        } else if (size_t length = multiByteSequenceLength(text.substr(i)); length > 0) {
            // U+0080 to U+009F (C2 80 to C2 9F) are the C1 controls; terminals act on some.
            bool control = byte == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0;
            for (size_t j = 0; j < length; ++j) {
                if (control)
                    appendEscapedByte(out, static_cast<unsigned char>(text[i + j]));
                else
                    out += text[i + j];
            }
            i += length;
        } else {
            appendEscapedByte(out, byte);
            ++i;
        }
    }
    return out;
}

std::string withoutURLUserInfo(std::string_view text) {
    std::string out;
    size_t copied = 0;
    for (size_t marker = text.find("://"); marker != std::string_view::npos;
         marker = text.find("://", marker + 3)) {
        size_t schemeStart = marker;
        while (schemeStart > 0 && isSchemeCharacter(text[schemeStart - 1])) --schemeStart;
        while (schemeStart < marker && !isLetter(text[schemeStart])) ++schemeStart;
        if (schemeStart == marker) continue;  // no scheme: not a URL
        size_t authority = marker + 3;
        size_t end = authorityEnd(text, authority);
        // The last "@" ends the user-info: a password may hold one that was never encoded.
        size_t at = text.substr(authority, end - authority).rfind('@');
        if (at == std::string_view::npos) continue;
        out.append(text.substr(copied, authority - copied));
        copied = authority + at + 1;
        marker = copied - 3;
    }
    out.append(text.substr(copied));
    return out;
}

}  // namespace vtr
