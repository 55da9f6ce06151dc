#include "foundation/VTRValue.h"

#include <cmath>
#include <limits>
#include <type_traits>

#include <fmt/format.h>

#include "foundation/VTRError.h"

namespace vtr {

namespace {

const std::string kEmptyString;
const VTRBytes kEmptyBytes;
const VTRArray kEmptyArray;
const VTRDictionary kEmptyDictionary;

template <typename T>
constexpr bool kIsInteger = std::is_same_v<T, int32_t> || std::is_same_v<T, int64_t> ||
                            std::is_same_v<T, uint32_t> || std::is_same_v<T, uint64_t>;

// A double converted to an integer type, saturating instead of overflowing (out-of-range
// conversion is undefined behaviour). NaN gives the fallback.
template <typename Int>
Int saturatingCast(double d, Int fallback) {
    if (std::isnan(d)) return fallback;
    d = std::trunc(d);
    // The bounds as doubles: max() rounds up to 2^63 or 2^64, so compare with >=.
    if (d >= static_cast<double>(std::numeric_limits<Int>::max()))
        return std::numeric_limits<Int>::max();
    if (d <= static_cast<double>(std::numeric_limits<Int>::min()))
        return std::numeric_limits<Int>::min();
    return static_cast<Int>(d);
}

std::string indent(const std::string& text) {
    std::string out;
    for (char c : text) {
        out += c;
        if (c == '\n') out += "    ";
    }
    return out;
}

std::string hexBytes(const VTRBytes& bytes) {
    std::string out = "<";
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0 && i % 4 == 0) out += ' ';
        out += fmt::format("{:02x}", bytes[i]);
    }
    out += ">";
    return out;
}

}  // namespace

VTRValue::VTRValue(VTRBytes b) : storage_(std::make_shared<const VTRBytes>(std::move(b))) {}

VTRValue::VTRValue(VTRArray a) : storage_(std::make_shared<const VTRArray>(std::move(a))) {}

VTRValue::VTRValue(VTRDictionary d)
    : storage_(std::make_shared<const VTRDictionary>(std::move(d))) {}

VTRValue::VTRValue(const VTRError& e) : storage_(std::make_shared<const VTRError>(e)) {}

bool VTRValue::isBytes() const {
    return std::holds_alternative<std::shared_ptr<const VTRBytes>>(storage_);
}

bool VTRValue::isArray() const {
    return std::holds_alternative<std::shared_ptr<const VTRArray>>(storage_);
}

bool VTRValue::isDictionary() const {
    return std::holds_alternative<std::shared_ptr<const VTRDictionary>>(storage_);
}

bool VTRValue::isError() const {
    return std::holds_alternative<std::shared_ptr<const VTRError>>(storage_);
}

bool VTRValue::isInteger() const {
    return std::visit([](const auto& v) { return kIsInteger<std::decay_t<decltype(v)>>; },
                      storage_);
}

namespace {

// A number or bool read as N: bools as 0 or 1, integers cast, doubles truncated toward zero
// and saturated (a double read as bool is true unless zero); anything else gives `fallback`.
template <typename N>
N numberAs(const VTRValue::Storage& storage, N fallback) {
    return std::visit(
        [&](const auto& v) -> N {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, bool>)
                return static_cast<N>(v ? 1 : 0);
            else if constexpr (kIsInteger<T>)
                return static_cast<N>(v);
            else if constexpr (std::is_same_v<T, double> &&
                               (std::is_same_v<N, double> || std::is_same_v<N, bool>))
                return static_cast<N>(v);
            else if constexpr (std::is_same_v<T, double>)
                return saturatingCast<N>(v, fallback);
            else
                return fallback;
        },
        storage);
}

}  // namespace

bool VTRValue::boolValue(bool fallback) const { return numberAs<bool>(storage_, fallback); }

int64_t VTRValue::int64Value(int64_t fallback) const {
    return numberAs<int64_t>(storage_, fallback);
}

uint64_t VTRValue::uint64Value(uint64_t fallback) const {
    return numberAs<uint64_t>(storage_, fallback);
}

double VTRValue::doubleValue(double fallback) const {
    return numberAs<double>(storage_, fallback);
}

const std::string& VTRValue::stringValue() const {
    const auto* s = std::get_if<std::string>(&storage_);
    return s ? *s : kEmptyString;
}

const VTRBytes& VTRValue::bytesValue() const {
    const auto* b = std::get_if<std::shared_ptr<const VTRBytes>>(&storage_);
    return b && *b ? **b : kEmptyBytes;
}

const VTRArray& VTRValue::arrayValue() const {
    const auto* a = std::get_if<std::shared_ptr<const VTRArray>>(&storage_);
    return a && *a ? **a : kEmptyArray;
}

const VTRDictionary& VTRValue::dictionaryValue() const {
    const auto* d = std::get_if<std::shared_ptr<const VTRDictionary>>(&storage_);
    return d && *d ? **d : kEmptyDictionary;
}

const VTRGuid* VTRValue::guidValue() const {
    return std::get_if<VTRGuid>(&storage_);
}

const VTRError* VTRValue::errorValue() const {
    const auto* e = std::get_if<std::shared_ptr<const VTRError>>(&storage_);
    return e ? e->get() : nullptr;
}

const VTRValue* VTRValue::find(const std::string& key) const {
    if (!isDictionary()) return nullptr;
    return vtr::find(dictionaryValue(), key);
}

std::string VTRValue::description() const {
    return std::visit(
        [&](const auto& v) -> std::string {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, VTRNull>) {
                return "<null>";
            } else if constexpr (std::is_same_v<T, bool>) {
                return v ? "1" : "0";
            } else if constexpr (kIsInteger<T> || std::is_same_v<T, double>) {
                return fmt::format("{}", v);
            } else if constexpr (std::is_same_v<T, std::string>) {
                return v;
            } else if constexpr (std::is_same_v<T, std::shared_ptr<const VTRBytes>>) {
                return hexBytes(bytesValue());
            } else if constexpr (std::is_same_v<T, std::shared_ptr<const VTRArray>>) {
                if (arrayValue().empty()) return "()";
                std::string out = "(";
                const char* separator = "\n    ";
                for (const auto& element : arrayValue()) {
                    out += separator + indent(element.description());
                    separator = ",\n    ";
                }
                return out + "\n)";
            } else if constexpr (std::is_same_v<T, std::shared_ptr<const VTRDictionary>>) {
                if (dictionaryValue().empty()) return "{}";
                std::string out = "{";
                for (const auto& [key, value] : dictionaryValue())
                    out += "\n    " + key + " = " + indent(value.description()) + ";";
                return out + "\n}";
            } else if constexpr (std::is_same_v<T, VTRGuid>) {
                return v.theGuid();
            } else {
                return v ? v->description() : "<null>";
            }
        },
        storage_);
}

bool VTRValue::operator==(const VTRValue& other) const {
    if (isInteger() && other.isInteger()) {
        // Compare by numeric value across signedness without wrapping.
        bool leftNegative = std::visit(
            [](const auto& v) {
                using T = std::decay_t<decltype(v)>;
                if constexpr (std::is_signed_v<T> && kIsInteger<T>)
                    return v < 0;
                else
                    return false;
            },
            storage_);
        bool rightNegative = std::visit(
            [](const auto& v) {
                using T = std::decay_t<decltype(v)>;
                if constexpr (std::is_signed_v<T> && kIsInteger<T>)
                    return v < 0;
                else
                    return false;
            },
            other.storage_);
        if (leftNegative != rightNegative) return false;
        return leftNegative ? int64Value() == other.int64Value()
                            : uint64Value() == other.uint64Value();
    }
    if (storage_.index() != other.storage_.index()) return false;
    return std::visit(
        [&](const auto& v) -> bool {
            using T = std::decay_t<decltype(v)>;
            const auto& o = std::get<T>(other.storage_);
            if constexpr (std::is_same_v<T, std::shared_ptr<const VTRBytes>>) {
                return v == o || bytesValue() == other.bytesValue();
            } else if constexpr (std::is_same_v<T, std::shared_ptr<const VTRArray>> ||
                                 std::is_same_v<T, std::shared_ptr<const VTRDictionary>> ||
                                 std::is_same_v<T, std::shared_ptr<const VTRError>>) {
                if (v == o) return true;
                if (!v || !o) return false;
                return *v == *o;
            } else {
                return v == o;
            }
        },
        storage_);
}

const VTRValue* find(const VTRDictionary& dictionary, const std::string& key) {
    auto it = dictionary.find(key);
    return it == dictionary.end() ? nullptr : &it->second;
}

}  // namespace vtr
