// The control API over a real server on loopback and a real job database: every route's
// answers, the refusals, the log lines, the console line for unparsable bodies, and the
// restart's delayed exit. The job service is scripted here; ControlAPIUploadTests drive the
// real one.
#include <sqlite3.h>

#include <set>

#include "ControlAPIFixture.h"
#include "jobs/VTRUploadJobValidation.h"

namespace vtr::test {
namespace {

using json = nlohmann::json;

// The rows of `table` in the job database, counted through the coordinator's connection.
int64_t countRows(VTRStoreCoordinator& coordinator, const std::string& table) {
    auto lock = coordinator.lock();
    sqlite3_stmt* statement = coordinator.statement("SELECT count(*) FROM " + table, nullptr);
    if (!statement) return -1;
    int64_t count = sqlite3_step(statement) == SQLITE_ROW ? sqlite3_column_int64(statement, 0) : -1;
    sqlite3_reset(statement);
    return count;
}

// ---- paths

TEST(ControlAPIPathTest, StandardizesLikeAFilePath) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"/", "/"},
        {"", "/"},
        {"/jobs/", "/jobs"},
        {"//jobs///abc//", "/jobs/abc"},
        {"/./jobs/./abc/.", "/jobs/abc"},
        {"/jobs/x/../abc", "/jobs/abc"},
        {"/../..", "/"},
        {"/jobs/..", "/"},
        {"/jobs/a%2Fb?x=1", "/jobs/a%2Fb?x=1"},
        {"/jobs/...", "/jobs/..."},
    };
    for (const auto& [path, expected] : cases)
        EXPECT_EQ(VTRUploadDaemonConnection::standardizedPathForPath(path), expected) << path;
}

TEST(ControlAPIPathTest, ComponentsDropEmptyOnes) {
    using Components = std::vector<std::string>;
    EXPECT_EQ(VTRUploadDaemonConnection::pathComponentsFromPath("/jobs/abc"),
              (Components{"jobs", "abc"}));
    EXPECT_EQ(VTRUploadDaemonConnection::pathComponentsFromPath("//jobs//abc/"),
              (Components{"jobs", "abc"}));
    EXPECT_TRUE(VTRUploadDaemonConnection::pathComponentsFromPath("/").empty());
    EXPECT_TRUE(VTRUploadDaemonConnection::pathComponentsFromPath("").empty());
}

// ---- index, routes and the server's refusals

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
        R"("path":"/activity"}]})");
    EXPECT_EQ(reply.header("Content-Length"), std::to_string(reply.body.size()));
    EXPECT_TRUE(log.contains("GET / 200"));
}

TEST_F(ControlAPITest, UnservedMethodsAndPathsAre405AndBodilessPostsOrPuts400) {
    EXPECT_EQ(send("GET", "/jobs/abc/def").status, 405);
    EXPECT_EQ(send("DELETE", "/jobs").status, 405);
    EXPECT_EQ(send("GET", "/restart").status, 405);
    EXPECT_EQ(send("HEAD", "/jobs/abc").status, 405);
    EXPECT_EQ(send("GET", "/nothing").status, 405);
    EXPECT_EQ(send("PUT", "/jobs", std::string("{}")).status, 405);
    EXPECT_EQ(send("POST", "/jobs/abc", std::string("")).status, 405);
    EXPECT_EQ(send("POST", "/", std::string("")).status, 405);
    EXPECT_EQ(send("POST", "/activity", std::string("")).status, 405);
    EXPECT_EQ(send("PUT", "/activity", std::string("{}")).status, 405);
    EXPECT_EQ(send("DELETE", "/activity").status, 405);
    EXPECT_EQ(send("GET", "/activity/abc").status, 405);

    RawReply noLength = send("PUT", "/jobs/abc");
    EXPECT_EQ(noLength.status, 400);
    EXPECT_EQ(noLength.header("Connection"), "close");
    EXPECT_EQ(send("PUT", "/jobs").status, 400);
    EXPECT_EQ(send("POST", "/restart").status, 400);
    loop.runFor(restartDelay * 2);
    EXPECT_TRUE(exits().empty()) << "a refused restart must not end the daemon";
    EXPECT_TRUE(storedJobs().empty());
}

TEST_F(ControlAPITest, EmptyStoreListsAsEmptyArrayWithOrWithoutTrailingSlash) {
    for (const char* path : {"/jobs", "/jobs/", "//jobs//", "/jobs/x/.."}) {
        RawReply reply = send("GET", path);
        EXPECT_EQ(reply.status, 200) << path;
        EXPECT_EQ(reply.body, "[]") << path;
        EXPECT_EQ(reply.header("Content-Length"), "2") << path;
        EXPECT_EQ(reply.header("Content-Type"), "application/json") << path;
    }
    EXPECT_TRUE(log.contains("GET /jobs succeeded"));
    EXPECT_TRUE(log.contains("GET /jobs 200"));
}

// ---- PUT: create, then update

TEST_F(ControlAPITest, PutCreatesWith201ThenTheSamePutUpdatesWith200) {
    json input = jobInput("job-1", "running");
    RawReply created = put("/jobs/job-1", input);
    ASSERT_EQ(created.status, 201);
    EXPECT_EQ(created.header("Content-Type"), "application/json");
    // The answer is the stored job's own form (whose keys and types the store's tests check).
    json job = json::parse(created.body);
    EXPECT_EQ(job, stored("job-1"));
    EXPECT_EQ(job["id"], "job-1");
    EXPECT_EQ(job["server_url"], "http://127.0.0.1:9/upload");
    EXPECT_EQ(job["session_id"], "session-job-1");
    EXPECT_EQ(job["state"], "running");
    // Equality above lets 5.0 stand for 5: check the kinds of the values as well.
    EXPECT_TRUE(job["restarting"].is_boolean());
    std::set<std::string> paths;
    for (const json& file : job["file_list"]) {
        EXPECT_TRUE(file["bytes_uploaded"].is_number_integer() &&
                    file["total_bytes"].is_number_integer() && file["closed"].is_boolean());
        paths.insert(file["local_path"].get<std::string>());
    }
    EXPECT_EQ(paths, (std::set<std::string>{"/recordings/job-1/a.mp4", "/recordings/job-1/b.mp4"}));
    EXPECT_EQ(created.body.find("secret"), std::string::npos) << "credentials must not be shown";

    RawReply updated = put("/jobs/job-1", input);
    EXPECT_EQ(updated.status, 200);
    EXPECT_EQ(json::parse(updated.body), stored("job-1"));
    EXPECT_EQ(storedJobs().size(), 1u);
    EXPECT_EQ(jobs->calls(), (std::vector<std::string>{"upload job-1", "upload job-1"}));

    // The daemon's log names the job and the posted body, never its credentials.
    EXPECT_TRUE(log.containsPart("PUT /jobs/job-1 ("));
    EXPECT_TRUE(log.containsPart(") successfully added new job"));
    EXPECT_TRUE(log.containsPart(") succeeded"));
    EXPECT_TRUE(log.contains("PUT /jobs/job-1 201"));
    EXPECT_TRUE(log.contains("PUT /jobs/job-1 200"));
    for (const std::string& line : log.texts())
        EXPECT_EQ(line.find("secret-job-1"), std::string::npos) << line;
}

TEST_F(ControlAPITest, EachStateDrivesTheJobServiceAsItShould) {
    ASSERT_EQ(put("/jobs/j", jobInput("j", "completed")).status, 201);
    EXPECT_TRUE(jobs->calls().empty());
    json change = {{"state", "restart"}};
    EXPECT_EQ(put("/jobs/j", change).status, 200);
    change["state"] = "PAUSED";
    EXPECT_EQ(put("/jobs/j", change).status, 200);
    change["state"] = "running";
    EXPECT_EQ(put("/jobs/j", change).status, 200);
    for (const char* inert : {"retry", "errored", "completed", "no such state"}) {
        change["state"] = inert;
        EXPECT_EQ(put("/jobs/j", change).status, 200) << inert;
    }
    EXPECT_EQ(jobs->calls(), (std::vector<std::string>{"restart j", "cancel j", "upload j"}));
    EXPECT_EQ(stored("j")["state"], "unknown");
}

TEST_F(ControlAPITest, UpdateKeepsIdCredentialsAndKnownFilesProgress) {
    ASSERT_EQ(put("/jobs/j", jobInput("j")).status, 201);
    {
        auto store = environment->newJobStore();
        VTRManagedUploadJob* job = store->jobWithID("j");
        ASSERT_TRUE(job);
        job->fileWithLocalPath("/recordings/j/a.mp4")->setBytesUploaded(1234);
        ASSERT_TRUE(store->saveJob(job));
    }
    json change = {
        {"id", "other"},
        {"credentials", "new"},
        {"restarting", true},
        {"file_list", {{{"local_path", "/recordings/j/a.mp4"}, {"remote_path", "renamed.mp4"}}}}};
    RawReply reply = put("/jobs/j", change);
    ASSERT_EQ(reply.status, 200);
    json job = json::parse(reply.body);
    EXPECT_EQ(job["id"], "j");
    EXPECT_EQ(job["restarting"], true);
    ASSERT_EQ(job["file_list"].size(), 1u);
    EXPECT_EQ(job["file_list"][0]["remote_path"], "a.mp4");
    EXPECT_EQ(job["file_list"][0]["bytes_uploaded"], 1234);
    auto store = environment->newJobStore();
    EXPECT_EQ(store->jobWithID("j")->credentials(), "secret-j");
    EXPECT_FALSE(store->jobWithID("other"));
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

TEST_F(ControlAPITest, WrongValueTypesAre406AndStoreNothing) {
    const std::vector<std::pair<std::string, json>> inputs = {
        {"no id", {{"server_url", "http://h/u"}}},
        {"no server_url", {{"id", "abc"}}},
        {"id a number", {{"id", 5}, {"server_url", "http://h/u"}}},
        {"state a number", {{"id", "abc"}, {"server_url", "http://h/u"}, {"state", 3}}},
        {"session_id null", {{"id", "abc"}, {"server_url", "http://h/u"}, {"session_id", nullptr}}},
        {"file_list an object",
         {{"id", "abc"}, {"server_url", "http://h/u"}, {"file_list", {{"local_path", "/a"}}}}},
        {"file without remote_path",
         {{"id", "abc"}, {"server_url", "http://h/u"}, {"file_list", {{{"local_path", "/a"}}}}}},
        {"file not an object",
         {{"id", "abc"}, {"server_url", "http://h/u"}, {"file_list", {"/a"}}}},
        {"id differs from the path", {{"id", "xyz"}, {"server_url", "http://h/u"}}},
    };
    for (const auto& [what, input] : inputs) {
        RawReply reply = put("/jobs/abc", input);
        EXPECT_EQ(reply.status, 406) << what;
    }
    EXPECT_TRUE(storedJobs().empty());
    EXPECT_TRUE(jobs->calls().empty());
    EXPECT_TRUE(log.containsPart("PUT /jobs/abc ("));
    EXPECT_TRUE(
        log.containsPart(") request failed model validation: Error Domain=NSCocoaErrorDomain"));
    EXPECT_TRUE(console().empty()) << "these bodies are JSON objects";

    // A repeated PUT of a job whose body names another id would otherwise pile up jobs that
    // no path reaches.
    ASSERT_EQ(put("/jobs/abc", jobInput("abc", "running")).status, 201);
    const std::vector<std::pair<std::string, json>> updates = {
        {"state a number", {{"state", 5}}},
        {"restarting a string", {{"restarting", "yes"}}},
        {"file_list a string", {{"file_list", "a.mp4"}}},
        {"server_url an array", {{"server_url", {"http://h/u"}}}},
    };
    json before = stored("abc");
    for (const auto& [what, input] : updates) {
        RawReply reply = put("/jobs/abc", input);
        EXPECT_EQ(reply.status, 406) << what;
        EXPECT_EQ(stored("abc"), before) << what;
    }
    EXPECT_EQ(jobs->calls(), (std::vector<std::string>{"upload abc"}));
}

// The upload service speaks HTTP only: a job naming any other scheme is refused whole, when
// created and when updated.
TEST_F(ControlAPITest, ServerURLsThatAreNotHTTPAre406AndStoreNothing) {
    const std::vector<std::string> refused = {"gopher://127.0.0.1:70/_stats",
                                              "file:///etc/passwd",
                                              "ftp://h/u",
                                              "dict://h:11211/stat",
                                              "ldap://h/o",
                                              "telnet://h:23",
                                              "/upload.svc",
                                              "127.0.0.1:9/upload",
                                              "httpx://h/u",
                                              "http:/h/u",
                                              "http://",
                                              " http://h/u"};
    for (const std::string& url : refused) {
        EXPECT_EQ(put("/jobs/abc", {{"id", "abc"}, {"server_url", url}}).status, 406) << url;
    }
    EXPECT_EQ(put("/jobs/abc", {{"id", "abc"}, {"server_url", ""}}).status, 406);
    EXPECT_TRUE(storedJobs().empty());
    EXPECT_TRUE(log.containsPart("must be an http:// or https:// URL."));

    json input = jobInput("ok", "paused");
    input["server_url"] = "HTTPS://127.0.0.1:9/upload";
    ASSERT_EQ(put("/jobs/ok", input).status, 201);
    json before = stored("ok");
    for (const std::string& url : refused) {
        EXPECT_EQ(put("/jobs/ok", {{"server_url", url}}).status, 406) << url;
        EXPECT_EQ(stored("ok"), before) << url;
    }
    EXPECT_EQ(put("/jobs/ok", {{"server_url", "http://127.0.0.1:9/other"}}).status, 200);
    EXPECT_EQ(stored("ok")["server_url"], "http://127.0.0.1:9/other");
    EXPECT_EQ(jobs->calls(), (std::vector<std::string>{"cancel ok", "cancel ok"}));
}

TEST_F(ControlAPITest, AFileListLongerThanTheCapIs406AndStoresNothing) {
    const size_t cap = VTRUploadJobValidation::kMaxFilesPerJob;
    json files = json::array();
    for (size_t i = 0; i <= cap; ++i)
        files.push_back({{"local_path", fmt::format("/r/{}.ts", i)}, {"remote_path", "x.ts"}});
    json input = jobInput("big", "running");
    input["file_list"] = files;
    EXPECT_EQ(put("/jobs/big", input).status, 406);
    EXPECT_TRUE(storedJobs().empty());
    EXPECT_EQ(countRows(*coordinator, "UploadFile"), 0);
    EXPECT_TRUE(log.containsPart(
        fmt::format("A job may list at most {} files; this one lists {}.", cap, cap + 1)));

    ASSERT_EQ(put("/jobs/big", jobInput("big", "paused")).status, 201);
    EXPECT_EQ(put("/jobs/big", {{"file_list", files}}).status, 406);
    EXPECT_EQ(stored("big")["file_list"].size(), 2u);
    EXPECT_EQ(countRows(*coordinator, "UploadFile"), 2);

    // Exactly the cap is allowed (checked on the list, not stored: saving 30,000 rows under the
    // sanitizers takes longer than a request may).
    files.erase(files.end() - 1);
    EXPECT_TRUE(VTRUploadJobValidation::fileListInputErrors(files).empty());
}

TEST_F(ControlAPITest, ActivityListsWhatEachUploadIsDoing) {
    EXPECT_EQ(send("GET", "/activity").body, "[]");

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
    EXPECT_EQ(reply.header("Content-Type"), "application/json");
    EXPECT_EQ(json::parse(reply.body), json::parse(R"([
        {"id": "job-a", "phase": "upload", "file": "a.mp4", "bytes_per_second": 1048576.5,
         "retry": null},
        {"id": "job-b", "phase": "waiting_to_retry", "file": null, "bytes_per_second": 0,
         "retry": {"method": "UploadChunk", "attempt": 3, "next_attempt_in_seconds": 7.25,
                   "reason": "Bad status 500"}}])"));
    EXPECT_EQ(send("GET", "//activity/").status, 200);

    // A page that reaches the daemon under another name learns nothing.
    auto asked = jobs->calls().size();
    RawReply foreign = send("GET", "/activity", std::nullopt, "Host: evil.example\r\n");
    EXPECT_EQ(foreign.status, 403);
    EXPECT_TRUE(foreign.body.empty());
    EXPECT_EQ(
        send("GET", "/activity", std::nullopt, kLoopbackHost + "Origin: http://evil.example\r\n")
            .status,
        403);
    EXPECT_EQ(jobs->calls().size(), asked);
}

TEST_F(ControlAPITest, FailedStateChangeKeepsTheSavedChangeAndAnswers500) {
    jobs->failWith(VTRError::withDescription(VTRErrorDomain, 80, "No chunk size."));
    RawReply created = put("/jobs/j", jobInput("j", "running"));
    EXPECT_EQ(created.status, 500);
    EXPECT_TRUE(created.body.empty());
    EXPECT_EQ(stored("j")["state"], "running") << "the job stays stored";

    RawReply restarted = put("/jobs/j", {{"state", "restart"}, {"session_id", "s2"}});
    EXPECT_EQ(restarted.status, 500);
    EXPECT_EQ(stored("j")["state"], "restart");
    EXPECT_EQ(stored("j")["session_id"], "s2");
    EXPECT_EQ(jobs->calls(), (std::vector<std::string>{"upload j", "restart j"}));
    EXPECT_TRUE(log.containsPart(") failed to restart upload: Error Domain=Vantrel Code=80"));
}

// ---- GET and DELETE of one job

TEST_F(ControlAPITest, GetOneJobOr404) {
    ASSERT_EQ(put("/jobs/j", jobInput("j")).status, 201);
    RawReply found = send("GET", "/jobs/j");
    EXPECT_EQ(found.status, 200);
    EXPECT_EQ(json::parse(found.body), stored("j"));
    EXPECT_TRUE(log.contains("GET /jobs/j succeeded"));

    RawReply missing = send("GET", "/jobs/nope");
    EXPECT_EQ(missing.status, 404);
    EXPECT_TRUE(missing.body.empty());
    EXPECT_TRUE(log.contains("GET /jobs/nope No job found"));

    // The identifier is used as received: no decoding, and the query is part of it.
    EXPECT_EQ(send("GET", "/jobs/j?x=1").status, 404);
    EXPECT_EQ(send("GET", "/jobs/%6A").status, 404);
    EXPECT_EQ(send("GET", "/jobs/./j/").status, 200);

    ASSERT_EQ(put("/jobs/k", jobInput("k")).status, 201);
    RawReply list = send("GET", "/jobs");
    std::set<std::string> ids;
    for (const json& job : json::parse(list.body)) ids.insert(job["id"].get<std::string>());
    EXPECT_EQ(ids, (std::set<std::string>{"j", "k"}));
}

TEST_F(ControlAPITest, DeleteRemovesThenCancelsAndTheSecondDeleteIs404) {
    ASSERT_EQ(put("/jobs/j", jobInput("j")).status, 201);
    RawReply deleted = send("DELETE", "/jobs/j");
    EXPECT_EQ(deleted.status, 200);
    EXPECT_TRUE(deleted.body.empty());
    EXPECT_EQ(deleted.header("Content-Length"), "0");
    EXPECT_FALSE(deleted.header("Content-Type"));
    EXPECT_TRUE(stored("j").is_null());
    EXPECT_TRUE(log.contains("DELETE /jobs/j succeeded"));

    EXPECT_EQ(send("DELETE", "/jobs/j").status, 404);
    EXPECT_EQ(send("DELETE", "/jobs/never").status, 404);
    EXPECT_TRUE(log.contains("DELETE /jobs/never does not exist"));
    EXPECT_EQ(jobs->calls(), (std::vector<std::string>{"cancel j"}));
}

// ---- store failures

TEST_F(ControlAPITest, StoreFailuresAre500) {
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
}

TEST_F(ControlAPITest, NoStoreAtAllIs500NotACrash) {
    HTTPServer bare;
    port = serve(bare, std::make_shared<VTRUploadDaemonConnectionEnvironment>(nullptr, nullptr));
    ASSERT_NE(port, 0);
    EXPECT_EQ(jobRouteStatuses(), (std::vector<int>{500, 500, 500, 500}));
    EXPECT_EQ(send("GET", "/").status, 200);
}

// ---- one connection, several requests

TEST_F(ControlAPITest, KeepAliveRequestsDoNotSeeAnEarlierBody) {
    RawHTTPClient client(port);
    ASSERT_TRUE(client.connected());
    std::string chunked =
        "PUT /jobs/j HTTP/1.1\r\nHost: localhost\r\nTransfer-Encoding: chunked\r\n\r\n";
    std::string body = jobInput("j").dump();
    chunked += fmt::format("{:x}\r\n{}\r\n", 10, body.substr(0, 10));
    chunked += fmt::format("{:x}\r\n{}\r\n0\r\n\r\n", body.size() - 10, body.substr(10));
    ASSERT_TRUE(client.send(chunked));
    auto created = client.readReply();
    ASSERT_TRUE(created);
    EXPECT_EQ(created->status, 201);

    ASSERT_TRUE(client.send(requestText("GET", "/jobs/j", std::nullopt)));
    auto got = client.readReply();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->status, 200);

    // An empty body on the same connection is not the earlier one.
    ASSERT_TRUE(client.send(requestText("PUT", "/jobs/j", std::string())));
    auto empty = client.readReply();
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->status, 406);
}

// ---- restart

TEST_F(ControlAPITest, RestartAnswersThenExitsWithZeroAfterTheDelay) {
    auto before = std::chrono::steady_clock::now();
    RawReply reply = send("POST", "/restart", std::string());
    EXPECT_EQ(reply.status, 200);
    EXPECT_TRUE(reply.body.empty());
    EXPECT_TRUE(log.contains("Restarting daemon"));
    EXPECT_TRUE(exits().empty()) << "the reply comes before the exit";

    ASSERT_TRUE(loop.runUntil([&] { return !exits().empty(); }, std::chrono::seconds(10)));
    EXPECT_GE(std::chrono::steady_clock::now() - before, restartDelay);
    EXPECT_EQ(exits(), (std::vector<int>{0}));
}

}  // namespace
}  // namespace vtr::test
