// The job form written straight from its JSON: the same text as the generic JSON response.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "api/VTRJSONValue.h"
#include "httpserver/VTRJSONResponse.h"

namespace vtr {
namespace {

using json = nlohmann::json;

TEST(JSONValueTest, DirectTextEqualsTheResponseWritersText) {
    const std::vector<json> values{
        json::parse(R"({"error":null,"error_type":"none","file_list":[{"bytes_uploaded":0,
            "closed":false,"local_path":"/r/a.mov","remote_path":"a.mov",
            "total_bytes":18446744073709551615}],"id":"j","restarting":true,"state":"running"})"),
        json{{"text", "quote \" back \\ slash / tab \t nl \n cr \r bell \x07 del \x7f"}},
        json{{"unicode", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xa5"}, {"n", -42}},
        json::array({json::object(), json::array(), nullptr, false}),
    };
    for (const json& value : values) {
        SCOPED_TRACE(value.dump());
        std::optional<std::string> text = JSONTextWithoutFloats(value);
        ASSERT_TRUE(text);
        EXPECT_EQ(*text, VTRJSONResponse::JSONData(valueFromJSON(value)));
    }
    // Text that is not UTF-8 has no JSON form in either writer.
    for (const char* bad : {"\xc3", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80"}) {
        json value{{"error", bad}};
        EXPECT_FALSE(JSONTextWithoutFloats(value)) << bad;
        EXPECT_FALSE(VTRJSONResponse::JSONData(valueFromJSON(value))) << bad;
    }
}

}  // namespace
}  // namespace vtr
