// The control API against requests from elsewhere, over real sockets: the connection refuses
// what web pages send (a Host that is not a loopback name, a foreign Origin), and keeps a
// job's credentials out of every log line and console line. Then the daemon's own server as it
// configures it: the body and connection limits, other users' connections, and the modes of
// the files the daemon makes.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "ControlAPIFixture.h"
#include "daemon/VTRUploadDaemon.h"

namespace vtr::test {
namespace {

using json = nlohmann::json;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

// ---- Host and Origin

class WebRequestTest : public ControlAPITest {
  protected:
    // Sends `text` on a connection of its own; a refusal must close the connection.
    RawReply request(const std::string& text) {
        RawHTTPClient client(port);
        std::optional<RawReply> reply = client.exchange(text);
        EXPECT_TRUE(reply) << text;
        if (reply && reply->status == 403) {
            EXPECT_EQ(reply->header("Connection"), "close") << text;
            EXPECT_TRUE(client.waitForClose()) << text;
        }
        return reply.value_or(RawReply{});
    }
};

TEST_F(WebRequestTest, ARebindingPageCanNeitherChangeJobsNorRestartTheDaemon) {
    ASSERT_EQ(put("/jobs/kept", jobInput("kept")).status, 201);
    const std::string evil = "Host: evil.example\r\n";

    RawReply listing = request(requestText("GET", "/jobs", std::nullopt, evil));
    EXPECT_EQ(listing.status, 403);
    EXPECT_EQ(listing.body, "") << "no job reaches the page";
    for (const auto& [method, path] :
         std::vector<std::pair<std::string, std::string>>{{"PUT", "/jobs/new"},
                                                          {"PUT", "/jobs/kept"},
                                                          {"DELETE", "/jobs/kept"},
                                                          {"POST", "/restart"},
                                                          {"GET", "/jobs/kept"}}) {
        std::optional<std::string> body;
        if (method == "PUT") body = jobInput(path.substr(6), "paused").dump();
        if (method == "POST") body = "";
        EXPECT_EQ(request(requestText(method, path, body, evil)).status, 403) << method << path;
    }
    std::vector<json> jobs = storedJobs();
    ASSERT_EQ(jobs.size(), 1u);
    EXPECT_EQ(jobs[0]["id"], "kept");
    EXPECT_EQ(jobs[0]["state"], "retry");
    EXPECT_TRUE(this->jobs->calls().empty());
    loop.runFor(restartDelay * 2);
    EXPECT_TRUE(exits().empty()) << "the restart was not scheduled";
    EXPECT_TRUE(log.contains(
        "POST /restart refused: the Host header \"evil.example\" names no loopback address"));

    // Nor can a page that sends a loopback Host and its own Origin stop an upload.
    ASSERT_EQ(put("/jobs/busy", jobInput("busy", "running")).status, 201);
    RawReply paused = request(requestText("PUT", "/jobs/busy", jobInput("busy", "paused").dump(),
                                          kLoopbackHost + "Origin: http://evil.example\r\n"));
    EXPECT_EQ(paused.status, 403);
    EXPECT_EQ(stored("busy")["state"], "running");
    EXPECT_EQ(this->jobs->calls(), std::vector<std::string>{"upload busy"});
    EXPECT_TRUE(log.contains(
        "PUT /jobs/busy refused: the request comes from the web page \"http://evil.example\""));
}

TEST_F(WebRequestTest, AKeepAliveConnectionThatTurnsForeignIsClosed) {
    RawHTTPClient client(port);
    auto first = client.exchange("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    ASSERT_TRUE(first);
    EXPECT_EQ(first->status, 200);
    auto second = client.exchange("GET / HTTP/1.1\r\nHost: evil.example\r\n\r\n");
    ASSERT_TRUE(second);
    EXPECT_EQ(second->status, 403);
    EXPECT_EQ(second->header("Connection"), "close");
    EXPECT_TRUE(client.waitForClose());
}

// ---- credentials

constexpr const char* kSecret = "pa55-SECRET";

bool anyContains(const std::vector<std::string>& lines, const std::string& part) {
    for (const std::string& line : lines)
        if (line.find(part) != std::string::npos) return true;
    return false;
}

TEST_F(ControlAPITest, CredentialsAppearInNoLogLine) {
    json job = jobInput("secretive", "paused");
    job["credentials"] = kSecret;
    EXPECT_EQ(put("/jobs/secretive", job).status, 201);
    EXPECT_EQ(put("/jobs/secretive", job).status, 200);
    json invalid = job;
    invalid.erase("server_url");
    invalid["id"] = "invalid";
    EXPECT_EQ(put("/jobs/invalid", invalid).status, 406);
    json mismatched = job;
    mismatched["id"] = "other";
    EXPECT_EQ(put("/jobs/mismatched", mismatched).status, 406);
    json badType = job;
    badType["state"] = 7;
    EXPECT_EQ(put("/jobs/secretive", badType).status, 406);
    jobs->failWith(VTRError::withDescription("Test", 1, "the service failed"));
    job["state"] = "running";
    EXPECT_EQ(put("/jobs/secretive", job).status, 500);

    std::vector<std::string> lines = log.texts();
    EXPECT_TRUE(anyContains(lines, "PUT /jobs/secretive (")) << "the job was logged";
    EXPECT_TRUE(anyContains(lines, "\"credentials\":\"********\""));
    EXPECT_FALSE(anyContains(lines, kSecret));
    EXPECT_FALSE(anyContains(console(), kSecret));
    // Nor do they come back in an answer.
    EXPECT_EQ(send("GET", "/jobs/secretive").body.find(kSecret), std::string::npos);
}

// ---- the daemon's own server and files

mode_t modeOf(const std::string& path) {
    struct stat status {};
    EXPECT_EQ(::stat(path.c_str(), &status), 0) << path;
    return status.st_mode & 07777;
}

// The daemon's start-up steps up to a running server, in process, in a directory of its own.
class DaemonHardeningTest : public testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(data_);
        fs::create_directories(locator_);
        settings_.logFiles.directory = logs_;
        settings_.environment = [data = data_](const char* name) -> const char* {
            return std::string(name) == "XDG_DATA_HOME" ? data.c_str() : nullptr;
        };
        settings_.installCrashHandlers = false;
    }

    void TearDown() override {
        if (server_) server_->stop();
        VTRLog::flush();
        VTRLog::removeAllDestinations();
        ddLogLevel.store(15);
    }

    // Logging at the verbose level, the store, and the daemon's HTTP server, started.
    void startDaemon() {
        daemon_ = std::make_unique<VTRUploadDaemon>(
            std::vector<std::string>{"vantrel-uploadd", "-l", "verbose", "-p", locator_},
            settings_);
        ASSERT_TRUE(daemon_->configureLogging());
        ASSERT_TRUE(daemon_->configurePersistentStorage());
        server_ = daemon_->configureHTTPServer();
        VTRError error;
        ASSERT_TRUE(server_->start(&error)) << error.description();
        port_ = server_->listeningPort();
    }

    std::string storeDirectory() const { return data_ + "/vantrel-uploadd"; }

    std::string logText() {
        VTRLog::flush();
        std::string text;
        for (const auto& entry : fs::directory_iterator(logs_))
            text += readFile(entry.path().string());
        return text;
    }

    RawReply request(const std::string& method, const std::string& path,
                     const std::optional<std::string>& body = std::nullopt) {
        return RawHTTPClient::once(port_, requestText(method, path, body));
    }

    TempDir dir_;
    std::string data_ = dir_.file("data");
    std::string logs_ = dir_.file("logs");
    std::string locator_ = dir_.file("locator");
    VTRUploadDaemonSettings settings_;
    std::unique_ptr<VTRUploadDaemon> daemon_;
    std::unique_ptr<HTTPServer> server_;
    uint16_t port_ = 0;
};

TEST_F(DaemonHardeningTest, ServerRefusesBodiesOverSixteenMebibytesForeignHostsAndThe257th) {
    startDaemon();
    EXPECT_EQ(RawHTTPClient::once(port_,
                                  "PUT /jobs/big HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                  "Content-Length: 16777217\r\n\r\n")
                  .status,
              413);
    // Exactly the limit is read (and then refused by the API as not being a job).
    {
        RawHTTPClient exact(port_);
        ASSERT_TRUE(
            exact.send(requestText("PUT", "/jobs/big", std::string(16 * 1024 * 1024, ' '))));
        auto exactReply = exact.readReply(false, 60s);
        ASSERT_TRUE(exactReply);
        EXPECT_EQ(exactReply->status, 406);
    }
    EXPECT_EQ(RawHTTPClient::once(port_, "GET /jobs HTTP/1.1\r\nHost: evil.example\r\n\r\n").status,
              403);

    // The connections above must have left before the count starts.
    ASSERT_TRUE(waitUntil([&] { return server_->numberOfHTTPConnections() == 0; }));
    std::vector<std::unique_ptr<RawHTTPClient>> open;
    for (int i = 0; i < 256; ++i) {
        open.push_back(std::make_unique<RawHTTPClient>(port_));
        ASSERT_TRUE(open.back()->connected());
    }
    // Each accept reads the kernel's socket tables, which these connections fill: on a busy
    // machine admitting all of them takes several seconds.
    ASSERT_TRUE(waitUntil([&] { return server_->numberOfHTTPConnections() == 256; },
                          std::chrono::seconds(60)));
    RawHTTPClient extra(port_);
    EXPECT_TRUE(extra.closesUnanswered(requestText("GET", "/")));
    auto served = open.front()->exchange(requestText("GET", "/jobs"));
    ASSERT_TRUE(served);
    EXPECT_EQ(served->body, "[]");
}

TEST_F(DaemonHardeningTest, AnotherUserCannotReachTheDaemon) {
    if (::geteuid() != 0) GTEST_SKIP() << "connecting as another user needs root";
    ScopedLogCapture capture;
    startDaemon();
    auto stranger = RawHTTPClient::connectedAsUser(65534, port_);
    ASSERT_TRUE(stranger->connected());
    EXPECT_TRUE(stranger->closesUnanswered(requestText("PUT", "/jobs/theirs", "{}")));
    EXPECT_TRUE(capture.containsPart("it belongs to user 65534, not 0"));
    EXPECT_EQ(request("GET", "/jobs").body, "[]");
}

TEST_F(DaemonHardeningTest, FilesAreMadeWithTheirModes) {
    // Loose permissions left by earlier versions are tightened; a permissive umask changes
    // nothing.
    fs::create_directories(storeDirectory());
    ::chmod(storeDirectory().c_str(), 0755);
    writeFile(storeDirectory() + "/UploadDaemon.sqlite", "");
    ::chmod((storeDirectory() + "/UploadDaemon.sqlite").c_str(), 0644);
    // A log file an earlier run left readable by all is continued, and tightened too.
    fs::create_directories(logs_);
    writeFile(logs_ + "/log-ABC123.txt", "2026/12/06 09:00:00:000  earlier\n");
    ::chmod((logs_ + "/log-ABC123.txt").c_str(), 0666);
    mode_t previous = ::umask(0);
    startDaemon();
    VTRLogInfo("a line for the log file");
    VTRLog::flush();
    EXPECT_NE(readFile(logs_ + "/log-ABC123.txt").find("a line for the log file"),
              std::string::npos);
    daemon_->checkForRunningDaemons();
    daemon_->locator()->writeLocatorFilesForPort(port_);
    daemon_->stopLocator();
    ::umask(previous);

    EXPECT_EQ(modeOf(storeDirectory()), 0700u);
    EXPECT_EQ(modeOf(storeDirectory() + "/UploadDaemon.sqlite"), 0600u);
    if (fs::exists(storeDirectory() + "/UploadDaemon.sqlite-wal")) {
        EXPECT_EQ(modeOf(storeDirectory() + "/UploadDaemon.sqlite-wal"), 0600u);
    }
    EXPECT_EQ(modeOf(locator_ + "/UploadDaemon.port"), 0644u);
    EXPECT_EQ(modeOf(locator_ + "/UploadDaemon.pid"), 0644u);
    size_t logFiles = 0;
    for (const auto& entry : fs::directory_iterator(logs_)) {
        ++logFiles;
        EXPECT_EQ(modeOf(entry.path().string()), 0640u) << entry.path();
    }
    EXPECT_EQ(logFiles, 1u);
}

TEST_F(DaemonHardeningTest, CredentialsReachNeitherTheLogFilesNorTheConsole) {
    startDaemon();
    json job = jobInput("secretive", "paused");
    job["credentials"] = kSecret;
    testing::internal::CaptureStderr();
    EXPECT_EQ(request("PUT", "/jobs/secretive", job.dump()).status, 201);
    EXPECT_EQ(request("PUT", "/jobs/secretive", job.dump()).status, 200);
    std::string cut = job.dump();
    EXPECT_EQ(request("PUT", "/jobs/secretive", cut.substr(0, cut.find(kSecret) + 8)).status, 406);
    EXPECT_EQ(request("GET", "/jobs/secretive").status, 200);
    VTRLog::flush();
    std::string console = testing::internal::GetCapturedStderr();

    std::string text = logText();
    EXPECT_NE(text.find("PUT /jobs/secretive ("), std::string::npos) << text;
    EXPECT_NE(text.find("successfully added new job"), std::string::npos) << text;
    EXPECT_EQ(text.find(kSecret), std::string::npos) << text;
    EXPECT_EQ(text.find(std::string(kSecret).substr(0, 8)), std::string::npos) << text;
    EXPECT_NE(console.find("Failed to parse job from request"), std::string::npos) << console;
    EXPECT_EQ(console.find(std::string(kSecret).substr(0, 8)), std::string::npos) << console;
}

}  // namespace
}  // namespace vtr::test
