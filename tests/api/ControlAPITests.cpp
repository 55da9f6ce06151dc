// The control API over a real server on loopback and a real job database: what the API layer
// adds - routes, status codes, JSON forms, body parsing, validation before anything is
// stored, the log and console lines. (The restart's delayed exit is DaemonProcessTests'.) The
// job service is scripted: what it does with a job is the job service's tests' business, and
// how a job's JSON is read and written the store's.
#include <sqlite3.h>

#include "ControlAPIFixture.h"
#include "api/VTRJSONValue.h"
#include "foundation/VTRJSONTextWriter.h"
#include "httpserver/VTRJSONResponse.h"
#include "jobs/VTRUploadJobValidation.h"

namespace vtr::test {
namespace {

using json = nlohmann::json;

TEST_F(ControlAPITest, IndexDocumentByteForByte) {
    RawReply reply = send("GET", "/");
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.header("Content-Type"), "application/json");
    EXPECT_EQ(
        reply.body,
        R"({"resources":[)"
        R"({"description":"This helpful documentation resource","method":"GET","path":"/"},)"
        R"({"description":"Restart the daemon","method":"POST","path":"/restart"},)"
        R"({"description":"Get a list of current jobs","method":"GET","path":"/jobs"},)"
        R"({"description":"Add a new job for processing","method":"PUT","path":"/jobs/:id"},)"
        R"({"description":"Get information about a specific job","method":"GET","path":"/jobs/:id"},)"
        R"({"description":"Remove a specific job","method":"DELETE","path":"/jobs/:id"},)"
        R"({"description":"What each upload in progress is doing now","method":"GET",)"
        R"("path":"/activity"},)"
        R"({"description":"Server-Sent Events: every job, then each change as it happens",)"
        R"("method":"GET","path":"/events"},)"
        R"({"description":"The status page, for a browser","method":"GET","path":"/ui"},)"
        R"({"description":"The status page's script","method":"GET","path":"/ui/app.js"},)"
        R"({"description":"The status page's style","method":"GET","path":"/ui/app.css"},)"
        R"({"description":"Counters and gauges in the Prometheus text format","method":"GET",)"
        R"("path":"/metrics"},)"
        R"({"description":"The upload bandwidth limit and its schedule","method":"GET",)"
        R"("path":"/settings"},)"
        R"({"description":"Change the upload bandwidth limit or its schedule","method":"PUT",)"
        R"("path":"/settings"}]})");
    EXPECT_EQ(reply.header("Content-Length"), std::to_string(reply.body.size()));
    EXPECT_TRUE(log.contains("GET / 200"));
}

TEST_F(ControlAPITest, RoutesAnswerByMethodAndStandardizedPath) {
    // Paths are standardized like file paths before routing: "." and ".." steps and empty
    // components go, and the query stays part of the last component.
    for (const char* path : {"/jobs", "/jobs/", "//jobs///", "/./jobs/x/../.", "//activity/"}) {
        RawReply reply = send("GET", path);
        EXPECT_EQ(reply.status, 200) << path;
        EXPECT_EQ(reply.body, "[]") << path;
        EXPECT_EQ(reply.header("Content-Type"), "application/json") << path;
    }
    const std::vector<std::pair<std::string, std::string>> unserved = {
        {"GET", "/jobs/abc/def"}, {"DELETE", "/jobs"},     {"GET", "/restart"},
        {"HEAD", "/jobs/abc"},    {"GET", "/nothing"},     {"PUT", "/jobs"},
        {"POST", "/jobs/abc"},    {"POST", "/"},           {"POST", "/activity"},
        {"PUT", "/activity"},     {"DELETE", "/activity"}, {"GET", "/activity/abc"}};
    for (const auto& [method, path] : unserved) {
        std::optional<std::string> body;
        if (method == "PUT" || method == "POST") body = "";
        EXPECT_EQ(send(method, path, body).status, 405) << method << " " << path;
    }
    for (const char* path : {"/../..", "/jobs/..", "/jobs/x/../../"})
        EXPECT_EQ(send("GET", path).body.rfind(R"({"resources":[)", 0), 0u) << path;
    for (const char* path : {"/jobs/...", "/jobs/a%2Fb?x=1"})
        EXPECT_EQ(send("GET", path).status, 404) << path;
    // A PUT or POST needs a body, an empty one at least.
    for (const char* path : {"/jobs/abc", "/jobs"}) EXPECT_EQ(send("PUT", path).status, 400);
    EXPECT_EQ(send("POST", "/restart").status, 400);
    EXPECT_EQ(send("PUT", "/jobs/abc").header("Connection"), "close");
    EXPECT_TRUE(log.contains("GET /jobs succeeded"));
    EXPECT_TRUE(log.contains("GET /jobs 200"));
    loop.runFor(restartDelay * 2);
    EXPECT_TRUE(exits().empty()) << "a refused restart must not end the daemon";
    EXPECT_TRUE(storedJobs().empty());
    EXPECT_EQ(jobs->calls(), std::vector<std::string>{"activities"});
}

// Each state a PUT stores reaches the job service as its call; the answer is the stored job.
TEST_F(ControlAPITest, PutCreatesWith201UpdatesWith200AndEachStateDrivesTheJobService) {
    RawReply created = put("/jobs/j", jobInput("j", "running"));
    ASSERT_EQ(created.status, 201);
    EXPECT_EQ(created.header("Content-Type"), "application/json");
    EXPECT_EQ(json::parse(created.body), stored("j"));
    EXPECT_EQ(jobs->calls(), std::vector<std::string>{"upload j"});

    const std::vector<std::pair<std::string, std::vector<std::string>>> states = {
        {"restart", {"restart j"}},
        {"PAUSED", {"cancel j"}},
        {"running", {"upload j"}},
        {"retry", {}},
        {"errored", {}},
        {"completed", {}},
        {"no such state", {}}};
    for (const auto& [state, calls] : states) {
        size_t before = jobs->calls().size();
        RawReply updated = put("/jobs/j", {{"state", state}});
        EXPECT_EQ(updated.status, 200) << state;
        EXPECT_EQ(json::parse(updated.body), stored("j")) << state;
        std::vector<std::string> after = jobs->calls();
        EXPECT_EQ(std::vector<std::string>(after.begin() + static_cast<long>(before), after.end()),
                  calls)
            << state;
    }
    EXPECT_EQ(stored("j")["state"], "unknown");
    EXPECT_EQ(storedJobs().size(), 1u);
    EXPECT_EQ(put("/jobs/k", jobInput("k", "completed")).status, 201);
    EXPECT_EQ(jobs->calls().size(), 4u) << "a completed job is stored without a call";
    EXPECT_TRUE(log.containsPart("PUT /jobs/j ("));
    EXPECT_TRUE(log.containsPart(") successfully added new job"));
    EXPECT_TRUE(log.containsPart(") succeeded"));
    EXPECT_TRUE(log.contains("PUT /jobs/j 201"));
    EXPECT_TRUE(log.contains("PUT /jobs/j 200"));
}

TEST_F(ControlAPITest, UnparsableBodiesAre406WithAConsoleLineAndStoreNothing) {
    const std::vector<std::pair<std::string, std::string>> bodies = {
        {"empty", ""},
        {"not JSON", "id=abc&state=running"},
        {"truncated", R"({"id":"abc","state":)"},
        {"array", R"([{"id":"abc"}])"},
        {"number", "42"},
        {"string", R"("abc")"},
        {"deeply nested", R"({"id":"abc","x":)" + std::string(100000, '[')},
        {"control bytes", std::string("{\"id\":\n\x01\xff")},
    };
    for (const auto& [what, body] : bodies) {
        RawReply reply = send("PUT", "/jobs/abc", body);
        EXPECT_EQ(reply.status, 406) << what;
        EXPECT_TRUE(reply.body.empty()) << what;
    }
    EXPECT_TRUE(storedJobs().empty());
    EXPECT_TRUE(jobs->calls().empty());
    EXPECT_TRUE(log.contains("PUT /jobs/abc failed, no valid body was posted"));
    EXPECT_TRUE(log.contains("PUT /jobs/abc 406"));

    std::vector<std::string> lines = console();
    ASSERT_EQ(lines.size(), bodies.size());
    for (const std::string& line : lines) {
        EXPECT_EQ(line.rfind("Failed to parse job from request /jobs/abc ", 0), 0u) << line;
        EXPECT_NE(line.find(" error Error Domain=NSCocoaErrorDomain Code=3840 "), std::string::npos)
            << line;
        EXPECT_EQ(line.find('\n'), std::string::npos) << "a body must not break the line";
        EXPECT_LT(line.size(), 6000u) << "a long body is cut short";
    }
    EXPECT_NE(lines[1].find("id=abc&state=running"), std::string::npos) << lines[1];
    EXPECT_NE(lines.back().find("\\n\\x01\\xff"), std::string::npos) << lines.back();
}

// Jobs the service could not or must not use - of the wrong types, under another id, at a
// server that is not http(s) (the HTTP client speaks nothing else), or of more files than the
// cap - are refused whole with 406, when created and when updated.
TEST_F(ControlAPITest, InvalidJobsAre406AndStoreNothing) {
    const size_t cap = VTRUploadJobValidation::kMaxFilesPerJob;
    json tooMany = json::array();
    for (size_t i = 0; i <= cap; ++i)
        tooMany.push_back({{"local_path", fmt::format("/r/{}.ts", i)}, {"remote_path", "x.ts"}});

    // (Which keys and types a job needs is the job record's tests' business; one of each
    // reaches the API here.)
    std::vector<std::pair<std::string, json>> creations = {
        {"id a number", {{"id", 5}, {"server_url", "http://h/u"}}},
        {"id differs from the path", {{"id", "xyz"}, {"server_url", "http://h/u"}}},
        {"empty server_url", {{"id", "abc"}, {"server_url", ""}}},
        {"too many files", {{"id", "abc"}, {"server_url", "http://h/u"}, {"file_list", tooMany}}},
    };
    std::vector<std::pair<std::string, json>> updates = {
        {"restarting a string", {{"restarting", "yes"}}},
        {"too many files", {{"file_list", tooMany}}},
    };
    for (std::string url :
         {"gopher://127.0.0.1:70/_stats", "file:///etc/passwd", "/upload.svc", "127.0.0.1:9/upload",
          "httpx://h/u", "http:/h/u", "http://", " http://h/u"}) {
        creations.push_back({url, {{"id", "abc"}, {"server_url", url}}});
        updates.push_back({url, {{"server_url", url}}});
    }
    for (const auto& [what, input] : creations)
        EXPECT_EQ(put("/jobs/abc", input).status, 406) << what;
    EXPECT_TRUE(storedJobs().empty());

    json input = jobInput("ok", "paused");
    input["server_url"] = "HTTPS://127.0.0.1:9/upload";
    ASSERT_EQ(put("/jobs/ok", input).status, 201);
    json before = stored("ok");
    for (const auto& [what, change] : updates) {
        EXPECT_EQ(put("/jobs/ok", change).status, 406) << what;
        EXPECT_EQ(stored("ok"), before) << what;
    }
    EXPECT_EQ(put("/jobs/ok", {{"server_url", "http://127.0.0.1:9/other"}}).status, 200);
    EXPECT_EQ(stored("ok")["server_url"], "http://127.0.0.1:9/other");
    EXPECT_EQ(jobs->calls(), (std::vector<std::string>{"cancel ok", "cancel ok"}));
    EXPECT_TRUE(console().empty()) << "these bodies are JSON objects";
    EXPECT_TRUE(
        log.containsPart(") request failed model validation: Error Domain=NSCocoaErrorDomain"));
    EXPECT_TRUE(log.containsPart("must be an http:// or https:// URL."));
    EXPECT_TRUE(log.containsPart(
        fmt::format("A job may list at most {} files; this one lists {}.", cap, cap + 1)));
    // Exactly the cap is allowed (checked on the list, not stored: saving 30,000 rows under the
    // sanitizers takes longer than a request may).
    tooMany.erase(tooMany.end() - 1);
    EXPECT_TRUE(VTRUploadJobValidation::fileListInputErrors(tooMany).empty());
}

TEST_F(ControlAPITest, ActivityListsWhatEachUploadIsDoing) {
    VTRJobActivity uploading{"job-a", {}};
    uploading.activity.phase = VTRUploadPhase::Upload;
    uploading.activity.file = "a.mp4";
    uploading.activity.bytesPerSecond = 1048576.5;
    VTRJobActivity waiting{"job-b", {}};
    waiting.activity.phase = VTRUploadPhase::WaitingToRetry;
    waiting.activity.retry = VTRUploadRetryInfo{"UploadChunk", 3, 7.25, "Bad status 500"};
    jobs->setActivities({uploading, waiting});

    RawReply reply = send("GET", "/activity");
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(json::parse(reply.body), json::parse(R"([
        {"id": "job-a", "phase": "upload", "file": "a.mp4", "bytes_per_second": 1048576.5,
         "retry": null},
        {"id": "job-b", "phase": "waiting_to_retry", "file": null, "bytes_per_second": 0,
         "retry": {"method": "UploadChunk", "attempt": 3, "next_attempt_in_seconds": 7.25,
                   "reason": "Bad status 500"}}])"));
}

TEST_F(ControlAPITest, FailedStateChangeKeepsTheSavedChangeAndAnswers500) {
    jobs->failWith(VTRError::withDescription(VTRErrorDomain, 80, "No chunk size."));
    RawReply created = put("/jobs/j", jobInput("j", "running"));
    EXPECT_EQ(created.status, 500);
    EXPECT_TRUE(created.body.empty());
    EXPECT_EQ(stored("j")["state"], "running") << "the job stays stored";

    EXPECT_EQ(put("/jobs/j", {{"state", "restart"}, {"session_id", "s2"}}).status, 500);
    EXPECT_EQ(stored("j")["state"], "restart");
    EXPECT_EQ(stored("j")["session_id"], "s2");
    EXPECT_EQ(jobs->calls(), (std::vector<std::string>{"upload j", "restart j"}));
    EXPECT_TRUE(log.containsPart(") failed to restart upload: Error Domain=Vantrel Code=80"));
}

TEST_F(ControlAPITest, GetAndDeleteOneJobOr404) {
    ASSERT_EQ(put("/jobs/j", jobInput("j")).status, 201);
    ASSERT_EQ(put("/jobs/k", jobInput("k")).status, 201);
    RawReply found = send("GET", "/jobs/j");
    EXPECT_EQ(found.status, 200);
    EXPECT_EQ(json::parse(found.body), stored("j"));
    EXPECT_TRUE(log.contains("GET /jobs/j succeeded"));
    EXPECT_EQ(json::parse(send("GET", "/jobs").body), json(storedJobs()));
    EXPECT_EQ(storedJobs().size(), 2u);

    RawReply missing = send("GET", "/jobs/nope");
    EXPECT_EQ(missing.status, 404);
    EXPECT_TRUE(missing.body.empty());
    EXPECT_TRUE(log.contains("GET /jobs/nope No job found"));
    // The identifier is used as received: no decoding, and the query is part of it.
    EXPECT_EQ(send("GET", "/jobs/j?x=1").status, 404);
    EXPECT_EQ(send("GET", "/jobs/%6A").status, 404);
    EXPECT_EQ(send("GET", "/jobs/./j/").status, 200);

    RawReply deleted = send("DELETE", "/jobs/j");
    EXPECT_EQ(deleted.status, 200);
    EXPECT_TRUE(deleted.body.empty());
    EXPECT_EQ(deleted.header("Content-Length"), "0");
    EXPECT_FALSE(deleted.header("Content-Type"));
    EXPECT_TRUE(stored("j").is_null());
    EXPECT_TRUE(log.contains("DELETE /jobs/j succeeded"));
    EXPECT_EQ(send("DELETE", "/jobs/j").status, 404);
    EXPECT_TRUE(log.contains("DELETE /jobs/j does not exist"));
    EXPECT_EQ(jobs->calls(), (std::vector<std::string>{"cancel j"}));
}

TEST_F(ControlAPITest, StoreFailuresAre500AndNoStoreAtAllIsNotACrash) {
    ASSERT_EQ(put("/jobs/j", jobInput("j")).status, 201);
    // Another writer breaks the database under the daemon.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(coordinator->path().c_str(), &db), SQLITE_OK);
    ASSERT_EQ(
        sqlite3_exec(db, "DROP TABLE UploadFile; DROP TABLE UploadJob;", nullptr, nullptr, nullptr),
        SQLITE_OK);
    sqlite3_close(db);

    EXPECT_EQ(jobRouteStatuses(), (std::vector<int>{500, 500, 500, 500}));
    EXPECT_TRUE(jobs->calls().empty());
    EXPECT_TRUE(log.containsPart("GET /jobs failed to retrieve all jobs: Error Domain="));
    EXPECT_TRUE(log.containsPart("GET /jobs/j failed to fetch job: Error Domain="));
    EXPECT_TRUE(log.containsPart(") failed to fetch job: Error Domain="));
    EXPECT_TRUE(log.containsPart("DELETE /jobs/j failed to find job to delete: Error Domain="));

    HTTPServer bare;
    port = serve(bare, std::make_shared<VTRUploadDaemonConnectionEnvironment>(nullptr, nullptr));
    ASSERT_NE(port, 0);
    EXPECT_EQ(jobRouteStatuses(), (std::vector<int>{500, 500, 500, 500}));
    EXPECT_EQ(send("GET", "/").status, 200);
}

TEST_F(ControlAPITest, KeepAliveRequestsDoNotSeeAnEarlierBody) {
    RawHTTPClient client(port);
    ASSERT_TRUE(client.connected());
    std::string chunked =
        "PUT /jobs/j HTTP/1.1\r\nHost: localhost\r\nTransfer-Encoding: chunked\r\n\r\n";
    std::string body = jobInput("j").dump();
    chunked += fmt::format("{:x}\r\n{}\r\n", 10, body.substr(0, 10));
    chunked += fmt::format("{:x}\r\n{}\r\n0\r\n\r\n", body.size() - 10, body.substr(10));
    for (const auto& [request, status] : std::vector<std::pair<std::string, int>>{
             {chunked, 201},
             {requestText("GET", "/jobs/j"), 200},
             // An empty body on the same connection is not the earlier one.
             {requestText("PUT", "/jobs/j", std::string()), 406}}) {
        ASSERT_TRUE(client.send(request));
        auto reply = client.readReply();
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status, status);
    }
}

// ---- GET/PUT /settings: which documents are taken and which refused with a reason, what the
// shared bucket then holds, and what a later start of the daemon finds in the database.

using SettingsTest = ControlAPITest;

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
        {R"({"upload_limit": null})", 406, "non-negative integer"},
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

// A job's form written straight as JSON text: the same bytes as its JSON tree dumped and as the
// generic response writer, for every kind of text a job can hold.
TEST(JobFormTextTest, EqualsTheTreeDumpedAndTheResponseWritersText) {
    TempDir directory;
    VTRError error;
    auto coordinator = VTRStoreCoordinator::open(directory.path() + "/jobs.sqlite", &error);
    ASSERT_TRUE(coordinator) << error.description();
    VTRSQLiteUploadJobStore store(coordinator);
    VTRManagedUploadJob* job = VTRManagedUploadJob::newInstance(
        store.managedObjectContext(), json::parse(R"({"id":"j","state":"running","file_list":[
            {"local_path":"/r/a.mov","remote_path":"a.mov"},
            {"local_path":"/r/b.mov","remote_path":"b.mov"}]})"));
    VTRManagedUploadFile* file = job->fileList().front();
    file->setTotalBytes(UINT64_MAX);

    for (const char* text :
         {"quote \" back \\ slash / tab \t nl \n cr \r bs \b ff \f", "bell \x07 unit \x1f del \x7f",
          "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xa5", ""}) {
        SCOPED_TRACE(text);
        job->setSessionID(text);
        file->setLocalPath(text);
        VTRJSONTextWriter writer;
        job->writeForm(writer);
        ASSERT_TRUE(writer.ok());
        std::string written = writer.takeText();
        json tree = job->dictionaryRepresentation();
        EXPECT_EQ(written, tree.dump());
        EXPECT_EQ(written, VTRJSONResponse::JSONData(valueFromJSON(tree)));
    }
    // Text that is not UTF-8 has no JSON form in any of the writers.
    for (const char* bad : {"\xc3", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xff"}) {
        SCOPED_TRACE(::testing::PrintToString(bad));
        job->setSessionID(bad);
        VTRJSONTextWriter writer;
        job->writeForm(writer);
        EXPECT_FALSE(writer.ok());
        json tree = job->dictionaryRepresentation();
        EXPECT_THROW(tree.dump(), json::type_error);
        EXPECT_FALSE(VTRJSONResponse::JSONData(valueFromJSON(tree)));
    }
}

}  // namespace
}  // namespace vtr::test
