// VTRJSONTextWriter: writes compact JSON text straight into a string, value by value, with no
// tree in between. The bytes are those nlohmann::json's dump() writes for the same values: no
// spaces; '"', '\\' and the C0 controls escaped ("\b", "\f", "\n", "\r", "\t", else "\u00xx" in
// lower case); other text, UTF-8 included, as it is. Text that is not well-formed UTF-8 has no
// JSON form: from then on ok() is false and the text is incomplete. Members come out in the
// order they are written. One thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vtr {

class VTRJSONTextWriter {
  public:
    // Room for one job's form, so that writing one seldom grows the text.
    VTRJSONTextWriter() { text_.reserve(1024); }

    void beginObject() { open('{'); }
    void endObject() { close('}'); }
    void beginArray() { open('['); }
    void endArray() { close(']'); }
    // The name of the object member whose value is written next.
    void key(std::string_view name);
    void null();
    void boolean(bool value);
    void number(int64_t value);
    void number(uint64_t value);
    void string(std::string_view text);

    bool ok() const { return ok_; }
    std::string takeText() { return std::move(text_); }

    // Appends `text` to `out` as a JSON string. False when `text` is not UTF-8 (`out` then holds
    // part of it).
    static bool appendString(std::string_view text, std::string& out);

  private:
    // The comma before a value that is not the first of its object or array.
    void separate();
    // An object or array begins (after its comma, if any) or ends.
    void open(char bracket);
    void close(char bracket);

    std::string text_;
    bool first_ = true;
    bool ok_ = true;
};

}  // namespace vtr
