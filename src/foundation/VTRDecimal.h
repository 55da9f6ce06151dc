// VTRDecimal: an exact decimal number (sign, decimal digits, power of ten), the form in which
// numbers the server sends as text are kept, so that no binary rounding creeps in. Parsing is
// independent of the process locale. Plain value type; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vtr {

class VTRDecimal {
  public:
    VTRDecimal() = default;  // zero
    explicit VTRDecimal(int64_t value);

    // The number written in `text`: an optional sign, digits with optional "," groups of three,
    // an optional "." fraction and an optional exponent ("e" or "E"), with white space allowed
    // around it. Nothing for anything else, including the empty text.
    static std::optional<VTRDecimal> fromString(std::string_view text);

    bool isNegative() const { return negative_; }
    bool isZero() const { return digits_.empty(); }
    bool isInteger() const { return exponent_ >= 0; }

    // The value when it is a whole number that fits; nothing otherwise.
    std::optional<int64_t> exactInt64() const;
    // The value truncated toward zero and clamped to the int64_t range.
    int64_t int64Value() const;
    // The nearest double (exact for integers up to 2^53).
    double doubleValue() const;
    // Plain decimal text without exponent: "1048576", "-0.25".
    std::string stringValue() const;

    bool operator==(const VTRDecimal&) const = default;

  private:
    // The whole part (fraction dropped) into *value; false when it does not fit an int64_t.
    bool wholePart(int64_t* value) const;

    // value = (negative_ ? -1 : 1) * digits_ * 10^exponent_, with digits_ free of leading and
    // trailing zeros (empty for zero, which is never negative), so equal numbers compare equal.
    bool negative_ = false;
    std::string digits_;
    int64_t exponent_ = 0;
};

}  // namespace vtr
