// The log form of bodies that are not jobs: the credentials they carry are masked however the
// text is broken, and the parser's message does not quote them. The daemon's hardening tests
// prove that the connection's console line uses this form.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "api/VTRJobLogForm.h"

namespace vtr::test {
namespace {

constexpr std::string_view kSecret = "pa55-SECRET";

TEST(JobLogFormTest, CredentialsInABodyThatDoesNotParseAreMasked) {
    const std::string s(kSecret);
    const std::vector<std::string> bodies = {
        R"({"id":"a","credentials":")" + s + R"(","file_list":[)",  // cut short
        R"([{"id":"a","credentials":")" + s + R"("}])",             // an array
        R"({"credentials" :  ")" + s + R"(\"-and-more"})" + "}",    // escaped quote, extra brace
        R"({"id":"a","credentials":")" + s,                         // unterminated string
        R"({"id":"a","credentials": )" + s + R"(, "x": 1})",        // a bare word
        R"("credentials")",                                         // only the name
    };
    for (const std::string& body : bodies) {
        std::string shown = describeUnparsedBody(body);
        EXPECT_EQ(shown.find(s), std::string::npos) << shown;
        EXPECT_EQ(shown.find("-and-more"), std::string::npos) << shown;
        try {
            EXPECT_FALSE(nlohmann::json::parse(body).is_object()) << "not a job: " << body;
        } catch (const nlohmann::json::exception& exception) {
            std::string message = parserMessageWithoutInput(exception.what());
            EXPECT_EQ(message.find(s.substr(0, 4)), std::string::npos) << message;
        }
    }
    EXPECT_EQ(describeUnparsedBody(bodies[0]),
              R"({"id":"a","credentials":"********","file_list":[)")
        << "the rest of the body is still shown";
    EXPECT_EQ(describeUnparsedBody(bodies[5]), R"("credentials")");
}

}  // namespace
}  // namespace vtr::test
