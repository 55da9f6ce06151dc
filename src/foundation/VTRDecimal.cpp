#include "foundation/VTRDecimal.h"

#include <charconv>
#include <cstdlib>
#include <limits>

namespace vtr {

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}
bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

// Exponents beyond this are not numbers a server sends; refusing them keeps the digit
// strings that stringValue() builds small.
constexpr int64_t kMaxExponent = 1000;

}  // namespace

VTRDecimal::VTRDecimal(int64_t value) {
    if (value == 0) return;
    negative_ = value < 0;
    // Through uint64_t so that INT64_MIN negates without overflow.
    uint64_t magnitude =
        negative_ ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    digits_ = std::to_string(magnitude);
    while (digits_.back() == '0') {
        digits_.pop_back();
        ++exponent_;
    }
}

std::optional<VTRDecimal> VTRDecimal::fromString(std::string_view text) {
    while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);

    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';

    // Integer part, with "," grouping only in whole groups of three.
    std::string digits;
    size_t groupLength = 0;
    bool grouped = false;
    while (i < text.size() && (isDigit(text[i]) || text[i] == ',')) {
        if (text[i] == ',') {
            if (digits.empty() || (grouped ? groupLength != 3 : groupLength > 3))
                return std::nullopt;
            grouped = true;
            groupLength = 0;
        } else {
            digits += text[i];
            ++groupLength;
        }
        ++i;
    }
    if (grouped && groupLength != 3) return std::nullopt;
    size_t integerDigits = digits.size();

    if (i < text.size() && text[i] == '.') {
        ++i;
        while (i < text.size() && isDigit(text[i])) digits += text[i++];
    }
    if (digits.empty()) return std::nullopt;
    int64_t exponent = -static_cast<int64_t>(digits.size() - integerDigits);

    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        bool exponentNegative = false;
        if (i < text.size() && (text[i] == '+' || text[i] == '-'))
            exponentNegative = text[i++] == '-';
        size_t start = i;
        while (i < text.size() && isDigit(text[i])) ++i;
        int64_t written = 0;
        auto [end, status] = std::from_chars(text.data() + start, text.data() + i, written);
        if (start == i || status != std::errc() || end != text.data() + i || written > kMaxExponent)
            return std::nullopt;
        exponent += exponentNegative ? -written : written;
    }
    if (i != text.size()) return std::nullopt;

    VTRDecimal number;
    size_t first = digits.find_first_not_of('0');
    if (first == std::string::npos) return number;  // zero, whatever its sign
    size_t last = digits.find_last_not_of('0');
    number.negative_ = negative;
    number.digits_ = digits.substr(first, last - first + 1);
    number.exponent_ = exponent + static_cast<int64_t>(digits.size() - 1 - last);
    if (number.exponent_ > kMaxExponent || number.exponent_ < -kMaxExponent) return std::nullopt;
    return number;
}

bool VTRDecimal::wholePart(int64_t* value) const {
    int64_t wholeDigits = static_cast<int64_t>(digits_.size()) + exponent_;
    *value = 0;
    if (isZero() || wholeDigits <= 0) return true;
    // 19 digits is the most an int64_t holds, and 19 digits always fit in a uint64_t.
    if (wholeDigits > 19) return false;
    uint64_t magnitude = 0;
    for (int64_t k = 0; k < wholeDigits; ++k) {
        int digit =
            k < static_cast<int64_t>(digits_.size()) ? digits_[static_cast<size_t>(k)] - '0' : 0;
        magnitude = magnitude * 10 + static_cast<uint64_t>(digit);
    }
    uint64_t limit = negative_ ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
    if (magnitude > limit) return false;
    *value = negative_ ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
    return true;
}

std::optional<int64_t> VTRDecimal::exactInt64() const {
    int64_t value = 0;
    if (!isInteger() || !wholePart(&value)) return std::nullopt;
    return value;
}

int64_t VTRDecimal::int64Value() const {
    int64_t value = 0;
    if (wholePart(&value)) return value;
    return negative_ ? std::numeric_limits<int64_t>::min() : std::numeric_limits<int64_t>::max();
}

double VTRDecimal::doubleValue() const {
    if (isZero()) return 0;
    // strtod would follow the process locale's decimal separator; from_chars never does.
    std::string text = (negative_ ? "-" : "") + digits_ + "e" + std::to_string(exponent_);
    double value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
}

std::string VTRDecimal::stringValue() const {
    if (isZero()) return "0";
    std::string text = negative_ ? "-" : "";
    int64_t wholeDigits = static_cast<int64_t>(digits_.size()) + exponent_;
    if (exponent_ >= 0) {
        text += digits_;
        text.append(static_cast<size_t>(exponent_), '0');
    } else if (wholeDigits > 0) {
        text += digits_.substr(0, static_cast<size_t>(wholeDigits));
        text += '.';
        text += digits_.substr(static_cast<size_t>(wholeDigits));
    } else {
        text += "0.";
        text.append(static_cast<size_t>(-wholeDigits), '0');
        text += digits_;
    }
    return text;
}

}  // namespace vtr
