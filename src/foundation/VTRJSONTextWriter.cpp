#include "foundation/VTRJSONTextWriter.h"

#include <array>
#include <charconv>

#include <fmt/format.h>

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

// The escape of an ASCII character, or nullptr when it stands for itself.
const char* escapeFor(unsigned char c) {
    switch (c) {
        case '"':
            return "\\\"";
        case '\\':
            return "\\\\";
        case '\b':
            return "\\b";
        case '\f':
            return "\\f";
        case '\n':
            return "\\n";
        case '\r':
            return "\\r";
        case '\t':
            return "\\t";
        default:
            return nullptr;
    }
}

template <typename Integer>
void appendNumber(Integer value, std::string& out) {
    char digits[24];
    auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append(digits, end);
}

}  // namespace

bool VTRJSONTextWriter::appendString(std::string_view text, std::string& out) {
    // Bytes that are not copied as they are: controls, '"', '\\' and the start of UTF-8
    // sequences, which are checked.
    static constexpr auto kSpecial = [] {
        std::array<bool, 256> special{};
        for (int c = 0; c < 256; ++c) special[c] = c < 0x20 || c >= 0x80 || c == '"' || c == '\\';
        return special;
    }();
    out.push_back('"');
    size_t plain = 0;  // start of the run of characters copied as they are
    size_t i = 0;
    while (i < text.size()) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (!kSpecial[c]) {
            ++i;
        } else if (c >= 0x80) {
            size_t length = utf8SequenceLength(text, i);
            if (length == 0) return false;
            i += length;
        } else {
            out.append(text.data() + plain, i - plain);
            if (const char* escape = escapeFor(c))
                out.append(escape);
            else
                fmt::format_to(std::back_inserter(out), "\\u{:04x}", c);
            plain = ++i;
        }
    }
    out.append(text.data() + plain, text.size() - plain);
    out.push_back('"');
    return true;
}

void VTRJSONTextWriter::separate() {
    if (!first_) text_.push_back(',');
    first_ = false;
}

void VTRJSONTextWriter::beginObject() {
    separate();
    text_.push_back('{');
    first_ = true;
}

void VTRJSONTextWriter::endObject() {
    text_.push_back('}');
    first_ = false;
}

void VTRJSONTextWriter::beginArray() {
    separate();
    text_.push_back('[');
    first_ = true;
}

void VTRJSONTextWriter::endArray() {
    text_.push_back(']');
    first_ = false;
}

void VTRJSONTextWriter::key(std::string_view name) {
    separate();
    ok_ = ok_ && appendString(name, text_);
    text_.push_back(':');
    first_ = true;
}

void VTRJSONTextWriter::null() {
    separate();
    text_.append("null");
}

void VTRJSONTextWriter::boolean(bool value) {
    separate();
    text_.append(value ? "true" : "false");
}

void VTRJSONTextWriter::number(int64_t value) {
    separate();
    appendNumber(value, text_);
}

void VTRJSONTextWriter::number(uint64_t value) {
    separate();
    appendNumber(value, text_);
}

void VTRJSONTextWriter::string(std::string_view text) {
    separate();
    ok_ = ok_ && appendString(text, text_);
}

}  // namespace vtr
