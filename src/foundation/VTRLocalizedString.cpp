#include "foundation/VTRLocalizedString.h"

#include <array>
#include <utility>

namespace vtr {

namespace {

// The system ships no translations: these English texts are what its errors carry.
constexpr std::array<std::pair<std::string_view, std::string_view>, 11> kStrings{{
    {"VTRstringFileDNE", "\"%@\" does not exist"},
    {"VTRstringFileErrorDescription", "File Error"},
    {"VTRstringChunkSizeFailed", "ChunkSize call failed"},
    {"VTRstringUploadFailedStart", "Upload failed to start"},
    {"VTRstringFileOpenFail", "Failed to open file %@ for reading"},
    {"VTRstringFileErrorTitle", "File Error"},
    {"VTRstringFileUploadFailed", "Failed at offset %1$llu of file %2$@"},
    {"VTRstringFileUploadFailedTitle", "Failed to upload file"},
    {"VTRstringUploadEndFailureDescription", "Failed to end upload"},
    {"VTRstringUploadEndFailureReason", "Fault when closing file %@"},
    {"VTRstringOperationTimeout", "Operation timed out"},
}};

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// The length of an integer or object conversion at the start of `text` (after the "%" and any
// position), or 0 when there is none.
size_t conversionLength(std::string_view text) {
    if (text.starts_with("@") || text.starts_with("s")) return 1;
    size_t length = 0;
    while (length < 2 && length < text.size() && text[length] == 'l') ++length;
    if (length < text.size() &&
        std::string_view("diu").find(text[length]) != std::string_view::npos)
        return length + 1;
    return 0;
}

}  // namespace

std::string VTRLocalizedString::stringForKey(std::string_view key) {
    for (const auto& [tableKey, text] : kStrings)
        if (tableKey == key) return std::string(text);
    return std::string(key);
}

std::string VTRLocalizedString::stringFileDNE() {
    return stringForKey("VTRstringFileDNE");
}
std::string VTRLocalizedString::stringFileErrorDescription() {
    return stringForKey("VTRstringFileErrorDescription");
}
std::string VTRLocalizedString::stringChunkSizeFailed() {
    return stringForKey("VTRstringChunkSizeFailed");
}
std::string VTRLocalizedString::stringUploadFailedStart() {
    return stringForKey("VTRstringUploadFailedStart");
}
std::string VTRLocalizedString::stringFileOpenFail() {
    return stringForKey("VTRstringFileOpenFail");
}
std::string VTRLocalizedString::stringFileErrorTitle() {
    return stringForKey("VTRstringFileErrorTitle");
}
std::string VTRLocalizedString::stringFileUploadFailed() {
    return stringForKey("VTRstringFileUploadFailed");
}
std::string VTRLocalizedString::stringFileUploadFailedTitle() {
    return stringForKey("VTRstringFileUploadFailedTitle");
}
std::string VTRLocalizedString::stringUploadEndFailureDescription() {
    return stringForKey("VTRstringUploadEndFailureDescription");
}
std::string VTRLocalizedString::stringUploadEndFailureReason() {
    return stringForKey("VTRstringUploadEndFailureReason");
}
std::string VTRLocalizedString::stringOperationTimeout() {
    return stringForKey("VTRstringOperationTimeout");
}

std::string VTRFormatLocalized(std::string_view text, const std::vector<std::string>& arguments) {
    std::string result;
    size_t next = 0;  // the argument the next unnumbered placeholder takes
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] != '%') {
            result += text[i++];
            continue;
        }
        std::string_view rest = text.substr(i + 1);
        if (rest.starts_with("%")) {
            result += '%';
            i += 2;
            continue;
        }
        // An optional "N$" position.
        size_t digits = 0;
        while (digits < rest.size() && isDigit(rest[digits])) ++digits;
        size_t position = 0;
        size_t prefix = 0;
        if (digits > 0 && digits < 10 && digits < rest.size() && rest[digits] == '$') {
            for (size_t k = 0; k < digits; ++k)
                position = position * 10 + static_cast<size_t>(rest[k] - '0');
            prefix = digits + 1;
        }
        size_t length = conversionLength(rest.substr(prefix));
        if (length == 0 || (prefix > 0 && position == 0)) {
            result += '%';
            ++i;
            continue;
        }
        size_t index = prefix > 0 ? position - 1 : next++;
        if (index < arguments.size()) result += arguments[index];
        i += 1 + prefix + length;
    }
    return result;
}

}  // namespace vtr
