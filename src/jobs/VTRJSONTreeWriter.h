// VTRJSONTreeWriter: builds an nlohmann::json value through the calls VTRJSONTextWriter takes,
// so that one piece of code can write a record's form either as text or as a tree. One thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace vtr {

class VTRJSONTreeWriter {
  public:
    void beginObject() { open(nlohmann::json::object()); }
    void endObject() { open_.pop_back(); }
    void beginArray() { open(nlohmann::json::array()); }
    void endArray() { open_.pop_back(); }
    void key(std::string_view name) { key_ = name; }
    void null() { add(nullptr); }
    void boolean(bool value) { add(value); }
    void number(int64_t value) { add(value); }
    void number(uint64_t value) { add(value); }
    void string(std::string_view text) { add(std::string(text)); }

    nlohmann::json takeValue() { return std::move(root_); }

  private:
    // Adds `value` to the innermost open object (under the last key) or array, or makes it the
    // root; returns where it now is.
    nlohmann::json* add(nlohmann::json value);
    void open(nlohmann::json container) { open_.push_back(add(std::move(container))); }

    nlohmann::json root_;
    std::vector<nlohmann::json*> open_;  // open objects and arrays, innermost last
    std::string key_;
};

inline nlohmann::json* VTRJSONTreeWriter::add(nlohmann::json value) {
    if (open_.empty()) {
        root_ = std::move(value);
        return &root_;
    }
    nlohmann::json& container = *open_.back();
    if (container.is_array()) {
        container.push_back(std::move(value));
        return &container.back();
    }
    // Members come in key order: each goes in at the end, with no search.
    auto& members = container.get_ref<nlohmann::json::object_t&>();
    return &members.emplace_hint(members.end(), std::move(key_), std::move(value))->second;
}

}  // namespace vtr
