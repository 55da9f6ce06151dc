// GET/PUT /settings over real sockets and a real job database: which documents are taken and
// which refused with a reason, what the shared bucket then holds, and what a later start of the
// daemon finds in the database.

#include "ControlAPIFixture.h"
#include "httpclient/HTTPBandwidthLimiter.h"
#include "service/VTRUploadLimitSettings.h"

namespace vtr::test {
namespace {

using json = nlohmann::json;

class SettingsTest : public ControlAPITest {
  protected:
    void SetUp() override {
        ControlAPITest::SetUp();
        settings = std::make_shared<VTRUploadLimitSettings>(coordinator, limiter, loop);
        VTRError error;
        ASSERT_TRUE(settings->start(std::nullopt, &error)) << error.description();
        port = serve(settingsServer, std::make_shared<VTRUploadDaemonConnectionEnvironment>(
                                         coordinator, jobs, nullptr, settings));
    }
    void TearDown() override {
        settingsServer.stop();
        ControlAPITest::TearDown();
    }

    std::shared_ptr<HTTPBandwidthLimiter> limiter = std::make_shared<HTTPBandwidthLimiter>();
    std::shared_ptr<VTRUploadLimitSettings> settings;
    HTTPServer settingsServer;
};

TEST_F(SettingsTest, PutTakesValidSettingsAndRefusesTheRestWithAReason) {
    const json schedule = {{{"at", "18:00"}, {"limit", 0}}, {{"at", "08:00"}, {"limit", 1024}}};
    const json sorted = {{{"at", "08:00"}, {"limit", 1024}}, {{"at", "18:00"}, {"limit", 0}}};
    struct Case {
        std::string body;
        int status;
        std::string reasonPart;  // for 406
    };
    const std::vector<Case> cases = {
        {R"({"upload_limit": 1048576})", 200, ""},
        {R"({"upload_limit": 0})", 200, ""},
        {R"({"upload_limit": -1})", 406, "non-negative integer"},
        {R"({"upload_limit": 1.5})", 406, "non-negative integer"},
        {R"({"upload_limit": "1M"})", 406, "non-negative integer"},
        {R"({"upload_limt": 5})", 406, "\"upload_limt\" is not a setting"},
        {R"({})", 406, "Nothing to change"},
        {R"([1])", 406, "JSON object"},
        {R"(upload_limit=5)", 406, "not JSON"},
        {json{{"upload_limit_schedule", schedule}}.dump(), 200, ""},
        {R"({"upload_limit_schedule": {"at": "08:00"}})", 406, "must be a list"},
        {R"({"upload_limit_schedule": [{"at": "24:00", "limit": 1}]})", 406, "entry 1"},
        {R"({"upload_limit_schedule": [{"at": "8:00", "limit": 1}]})", 406, "entry 1"},
        {R"({"upload_limit_schedule": [{"at": "08:00", "limit": -1}]})", 406, "entry 1"},
        {R"({"upload_limit_schedule": [{"at": "08:00", "limit": 1, "x": 2}]})", 406, "entry 1"},
        {R"({"upload_limit_schedule": [{"at": "08:00", "limit": 1}, {"at": "08:00", "limit": 2}]})",
         406, "names 08:00 twice"},
    };
    json expected = {{"upload_limit", 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        RawReply reply = send("PUT", "/settings", c.body);
        EXPECT_EQ(reply.status, c.status);
        json answer = json::parse(reply.body, nullptr, false);
        if (c.status == 406) {
            EXPECT_NE(answer.value("error", "").find(c.reasonPart), std::string::npos)
                << reply.body;
        } else if (json posted = json::parse(c.body); posted.contains("upload_limit")) {
            EXPECT_EQ(answer, posted);
        } else {
            // Which entry is in force depends on the time of day.
            EXPECT_EQ(answer["upload_limit_schedule"], sorted);
            EXPECT_TRUE(answer["upload_limit"] == 0 || answer["upload_limit"] == 1024);
        }
        if (c.status == 200) expected = answer;
        // A refused document changes nothing.
        EXPECT_EQ(json::parse(send("GET", "/settings").body), expected);
        EXPECT_EQ(limiter->rate(), expected["upload_limit"].get<uint64_t>());
    }
}

TEST_F(SettingsTest, TheStoredLimitSurvivesAndAFixedLimitClearsTheSchedule) {
    ASSERT_EQ(
        send("PUT", "/settings", R"({"upload_limit_schedule": [{"at": "00:00", "limit": 7}]})")
            .status,
        200);
    ASSERT_EQ(limiter->rate(), 7u);
    ASSERT_EQ(send("PUT", "/settings", R"({"upload_limit": 4096})").status, 200);
    EXPECT_EQ(json::parse(send("GET", "/settings").body), (json{{"upload_limit", 4096}}));

    // A later start over the same database, first as stored, then with "-b".
    auto reopened = std::make_shared<HTTPBandwidthLimiter>();
    auto again = std::make_shared<VTRUploadLimitSettings>(coordinator, reopened, loop);
    ASSERT_TRUE(again->start(std::nullopt, nullptr));
    EXPECT_EQ(reopened->rate(), 4096u);
    ASSERT_TRUE(again->start(uint64_t{1} << 20, nullptr));
    auto third = std::make_shared<VTRUploadLimitSettings>(coordinator, reopened, loop);
    ASSERT_TRUE(third->start(std::nullopt, nullptr));
    EXPECT_EQ(third->document(), (json{{"upload_limit", 1 << 20}}));
}

TEST(UploadLimitScheduleTest, EachEntryHoldsUntilTheNextAndTheLastWrapsAroundMidnight) {
    const std::vector<VTRUploadLimitEntry> schedule = {{8 * 60, 100}, {18 * 60, 0}};
    const std::vector<std::pair<int, uint64_t>> cases = {
        {0, 0}, {8 * 60 - 1, 0}, {8 * 60, 100}, {17 * 60 + 59, 100}, {18 * 60, 0}, {1439, 0}};
    for (const auto& [minute, limit] : cases) {
        SCOPED_TRACE(minute);
        EXPECT_EQ(VTRUploadLimitSettings::limitAt(schedule, minute), limit);
    }
}

}  // namespace
}  // namespace vtr::test
