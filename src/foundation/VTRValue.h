// VTRValue: the dynamic value that SOAP parameters, SOAP results, error details and record
// dictionaries are made of. A value is one of: the null marker, bool, signed and unsigned
// 32/64-bit integers, double, string, bytes, array, dictionary, VTRGuid or a nested VTRError.
// "Absent" is not a value: a missing dictionary entry (find() returns nullptr) stands for it.
// Values are plain data: copy them freely; one value may be read from several threads at once.
// Bytes, arrays, dictionaries and errors sit in shared immutable storage, so a copy never copies
// their contents (a chunk of several MiB travels through a request without being duplicated).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "foundation/VTRGuid.h"

namespace vtr {

class VTRError;
class VTRValue;

using VTRBytes = std::vector<uint8_t>;
using VTRArray = std::vector<VTRValue>;
using VTRDictionary = std::map<std::string, VTRValue>;

// The null marker: JSON null, an empty remote result, a parameter to omit.
struct VTRNull {
    bool operator==(const VTRNull&) const = default;
};

class VTRValue {
  public:
    using Storage =
        std::variant<VTRNull, bool, int32_t, int64_t, uint32_t, uint64_t, double, std::string,
                     std::shared_ptr<const VTRBytes>, std::shared_ptr<const VTRArray>,
                     std::shared_ptr<const VTRDictionary>, VTRGuid,
                     std::shared_ptr<const VTRError>>;

    VTRValue() = default;  // the null marker
    VTRValue(VTRNull) {}
    VTRValue(bool b) : storage_(b) {}
    VTRValue(int32_t i) : storage_(i) {}
    VTRValue(int64_t i) : storage_(i) {}
    VTRValue(uint32_t u) : storage_(u) {}
    VTRValue(uint64_t u) : storage_(u) {}
    VTRValue(long long i) : storage_(static_cast<int64_t>(i)) {}
    VTRValue(unsigned long long u) : storage_(static_cast<uint64_t>(u)) {}
    VTRValue(double d) : storage_(d) {}
    VTRValue(std::string s) : storage_(std::move(s)) {}
    VTRValue(const char* s) : storage_(std::string(s)) {}
    VTRValue(VTRBytes b);
    // Shares `b` instead of copying it; its owners must not change the bytes from then on.
    // A null pointer reads as empty bytes.
    VTRValue(std::shared_ptr<const VTRBytes> b) : storage_(std::move(b)) {}
    VTRValue(VTRArray a);
    VTRValue(VTRDictionary d);
    VTRValue(VTRGuid g) : storage_(std::move(g)) {}
    VTRValue(const VTRError& e);

    bool isNull() const { return std::holds_alternative<VTRNull>(storage_); }
    bool isBool() const { return std::holds_alternative<bool>(storage_); }
    bool isString() const { return std::holds_alternative<std::string>(storage_); }
    bool isBytes() const;
    bool isArray() const;
    bool isDictionary() const;
    bool isGuid() const { return std::holds_alternative<VTRGuid>(storage_); }
    bool isError() const;
    bool isDouble() const { return std::holds_alternative<double>(storage_); }
    // Any of the four integer alternatives.
    bool isInteger() const;
    // An integer, a double or a bool.
    bool isNumber() const { return isInteger() || isDouble() || isBool(); }

    // Typed reads; each returns the fallback when the value holds another alternative.
    // Numbers convert among themselves (a double truncates toward zero).
    bool boolValue(bool fallback = false) const;
    int64_t int64Value(int64_t fallback = 0) const;
    uint64_t uint64Value(uint64_t fallback = 0) const;
    double doubleValue(double fallback = 0) const;
    const std::string& stringValue() const;        // empty string unless isString()
    const VTRBytes& bytesValue() const;            // empty unless isBytes()
    const VTRArray& arrayValue() const;            // empty unless isArray()
    const VTRDictionary& dictionaryValue() const;  // empty unless isDictionary()
    const VTRGuid* guidValue() const;              // nullptr unless isGuid()
    const VTRError* errorValue() const;            // nullptr unless isError()

    // Dictionary look-up: nullptr when this is not a dictionary or the key is absent.
    const VTRValue* find(const std::string& key) const;

    // Text for log lines: strings as they are, numbers in decimal, collections and errors in a
    // readable nested form, the null marker as "<null>".
    std::string description() const;

    const Storage& storage() const { return storage_; }
    bool operator==(const VTRValue& other) const;

  private:
    Storage storage_;
};

// Look-up in a dictionary: nullptr when the key is absent.
const VTRValue* find(const VTRDictionary& dictionary, const std::string& key);

}  // namespace vtr
