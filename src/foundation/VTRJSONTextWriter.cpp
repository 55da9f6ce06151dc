#include "foundation/VTRJSONTextWriter.h"

#include <array>
#include <charconv>

#include <fmt/format.h>

#include "foundation/VTRPrintableText.h"

namespace vtr {

namespace {

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
            size_t length = multiByteSequenceLength(text.substr(i));
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

void VTRJSONTextWriter::open(char bracket) {
    separate();
    text_.push_back(bracket);
    first_ = true;
}

void VTRJSONTextWriter::close(char bracket) {
    text_.push_back(bracket);
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
