#include "api/VTRJSONValue.h"

#include <nlohmann/json.hpp>

namespace vtr {

using json = nlohmann::json;

VTRValue valueFromJSON(const json& value) {
    switch (value.type()) {
        case json::value_t::boolean:
            return VTRValue(value.get<bool>());
        case json::value_t::number_integer:
            return VTRValue(value.get<int64_t>());
        case json::value_t::number_unsigned:
            return VTRValue(value.get<uint64_t>());
        case json::value_t::number_float:
            return VTRValue(value.get<double>());
        case json::value_t::string:
            return VTRValue(value.get_ref<const std::string&>());
        case json::value_t::array: {
            VTRArray array;
            array.reserve(value.size());
            for (const json& element : value) array.push_back(valueFromJSON(element));
            return VTRValue(std::move(array));
        }
        case json::value_t::object: {
            VTRDictionary dictionary;
            for (const auto& [key, element] : value.items())
                dictionary.emplace(key, valueFromJSON(element));
            return VTRValue(std::move(dictionary));
        }
        default:
            return VTRValue();
    }
}

}  // namespace vtr
