// vantrel-upload against a real daemon and a real fake-recording-service: what a user sees
// and which exit status a script gets, one case per family of commands. How jobs and
// activities are printed is CLIFormattingTests'.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include <fmt/format.h>

#include "support/FakeService.h"
#include "support/TestSupport.h"
#include "support/UploadDaemon.h"

using namespace vtr::test;
using nlohmann::json;
using testing::HasSubstr;
using testing::Not;

namespace {

// A daemon's home, not started unless a test's fixture starts it, and the files to upload.
class ClientTest : public ::testing::Test {
  protected:
    // Runs vantrel-upload with "-p" the daemon's locator directory in front of `arguments`.
    CommandResult client(const std::vector<std::string>& arguments) {
        return runCommand(clientCommand(daemon_.locatorDirectory(), arguments));
    }
    std::string makeFile(const std::string& name, size_t size = 1000, uint32_t seed = 1) {
        std::string path = files_.file(name);
        writeFile(path, randomBytes(size, seed));
        return path;
    }

    TempDir root_;
    TempDir files_;
    UploadDaemon daemon_{root_.file("daemon")};
};

// ---------------------------------------------------------------------------------------------
// Without a daemon: the messages and statuses a user gets before anything is sent.

using ClientWithoutDaemonTest = ClientTest;

TEST_F(ClientWithoutDaemonTest, EveryCommandSaysTheDaemonIsNotRunning) {
    std::vector<std::vector<std::string>> commands = {
        {"list"},          {"list", "--json"}, {"show", "job"},   {"watch"},  {"pause", "job"},
        {"resume", "job"}, {"restart", "job"}, {"remove", "job"}, {"status"}, {"ui"},
        {"limit"},         {"limit", "off"}};
    commands.push_back({"add", makeFile("sample.bin"), "--server", "http://127.0.0.1:1/Service.svc",
                        "--session", "s"});
    for (const auto& command : commands) {
        CommandResult result = client(command);
        EXPECT_EQ(result.status, 3) << command[0] << ": " << result.err;
        EXPECT_THAT(result.err, HasSubstr("the upload daemon is not running"));
        EXPECT_THAT(result.err, HasSubstr(daemon_.locatorDirectory()));
    }
    CommandResult status = client({"status", "--json"});
    EXPECT_EQ(status.status, 3);
    EXPECT_EQ(json::parse(status.out, nullptr, false).value("running", true), false) << status.out;
}

TEST_F(ClientWithoutDaemonTest, BadInputIsRefusedBeforeAnythingIsSent) {
    std::string file = makeFile("sample.bin");
    std::string server = "http://127.0.0.1:1/Service.svc";
    struct Case {
        std::vector<std::string> arguments;
        std::string message;
    };
    std::vector<Case> cases = {
        {{"add", file, "--session", "s"}, "--server"},
        {{"add", file, "--server", "ftp://host/x", "--session", "s"}, "http://"},
        {{"add", file, "--server", "http://", "--session", "s"}, "http://"},
        {{"add", file, "--server", server, "--session", "  "}, "--session must not be empty"},
        {{"add", files_.file("missing.mov"), "--server", server, "--session", "s"},
         "is not a file that can be uploaded"},
        {{"add", file + "=", "--server", server, "--session", "s"}, "remote name"},
        {{"add", file + "=a", file + "=b", "--server", server, "--session", "s"}, "named twice"},
        {{"add", file + "=same", makeFile("other.bin") + "=same", "--server", server, "--session",
          "s"},
         "two files have the remote name same"},
        {{"add", file, "--server", server, "--session", "s", "--id", "a/b"}, "cannot carry"},
        {{"show", ".."}, "cannot be a job id"},
        {{"limit", "1.5M"}, "is not a rate"},
        {{"watch", "--interval", "0"}, ""},
        {{"frobnicate"}, ""},
        {{}, "subcommand"},
    };
    for (const Case& c : cases) {
        CommandResult result = client(c.arguments);
        std::string shown = c.arguments.empty() ? "(none)" : c.arguments[0];
        EXPECT_EQ(result.status, 2) << shown << ": " << result.err;
        EXPECT_THAT(result.err, HasSubstr(c.message));
        EXPECT_THAT(result.err, Not(HasSubstr("not running")));
    }
}

// ---------------------------------------------------------------------------------------------
// With a daemon and a fake service of the test's own.

class ClientAgainstDaemonTest : public ClientTest {
  protected:
    void SetUp() override {
        ASSERT_TRUE(service_.started()) << "fake-recording-service did not start";
        ASSERT_TRUE(daemon_.start()) << "the daemon did not come up:\n" << daemon_.output();
    }

    // Adds a job and returns its id (empty, with a test failure, when add failed).
    std::string add(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), "add");
        arguments.insert(arguments.end(), {"--server", service_.url(), "--session", "s"});
        CommandResult result = client(arguments);
        EXPECT_EQ(result.status, 0) << result.err;
        if (result.status != 0 || result.out.empty()) return {};
        return result.out.substr(0, result.out.find('\n'));
    }
    // The stored bytes of `remoteName` on the fake service.
    std::string uploaded(const std::string& remoteName) {
        return readFile(service_.storedFilePath("s", remoteName));
    }
    // Answers every chunk of `file` late, so that its upload can be caught half-way.
    void slowChunksOf(const std::string& file, int delayMs) {
        json fault = {{"method", "UploadChunk"},
                      {"file", file},
                      {"action", "delay"},
                      {"delay_ms", delayMs},
                      {"count", 0}};
        ASSERT_TRUE(service_.control("POST", "/control/faults", fault).is_object());
    }

    // Small chunks, so that even small files take several calls and progress can be seen.
    FakeService service_{root_.file("service"), {"--chunk-size", "65536"}};
};

// The add, list, show and watch family, plain, as JSON and on a terminal.
TEST_F(ClientAgainstDaemonTest, AddedJobIsWatchedToCompletionAndListedAsDone) {
    std::string first = makeFile("first.mov", 3 * 65536 + 123, 11);
    std::string second = makeFile("second.wav", 2 * 65536, 12);
    std::string id = add({first, second + "=renamed.wav"});
    ASSERT_FALSE(id.empty());

    CommandResult watch = client({"watch", id, "--interval", "0.05"});
    EXPECT_EQ(watch.status, 0) << watch.err;
    // Not a terminal: plain lines, no cursor movement.
    EXPECT_THAT(watch.out, Not(HasSubstr("\x1b")));
    EXPECT_THAT(watch.out, HasSubstr(id + "  completed  100.0%"));
    EXPECT_THAT(watch.out, HasSubstr("1 of 1 jobs completed"));
    EXPECT_EQ(uploaded("first.mov"), readFile(first));
    EXPECT_EQ(uploaded("renamed.wav"), readFile(second));

    CommandResult list = client({"list"});
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_THAT(list.out,
                HasSubstr(id + "  completed  100.0%  320.1 KiB of 320.1 KiB  2/2 files closed\n"));
    EXPECT_EQ(json::parse(client({"list", "--json"}).out, nullptr, false),
              json::parse(daemon_.request("GET", "/jobs").body));
    // Watching a finished job ends at once: one parsable JSON line with --json. (That show
    // --json prints the daemon's answer unchanged is CLIFormattingTests'.)
    CommandResult shown = client({"watch", id, "--json"});
    EXPECT_EQ(shown.status, 0) << shown.err;
    EXPECT_EQ(std::count(shown.out.begin(), shown.out.end(), '\n'), 1);
    json job = json::parse(shown.out, nullptr, false);
    ASSERT_TRUE(job.is_object()) << shown.out;
    EXPECT_EQ(job["session_id"], "s");
    EXPECT_EQ(job["state"], "completed");

    ChildProcess onTerminal(clientCommand(daemon_.locatorDirectory(), {"watch", id}),
                            ChildProcess::Terminal::Output, 100);
    CommandResult bars = finish(onTerminal);
    EXPECT_EQ(bars.status, 0) << bars.err;
    EXPECT_THAT(bars.out, HasSubstr("\r\x1b[2K" + id.substr(0, 12)));
    EXPECT_THAT(bars.out, HasSubstr("] 100.0% 320.1 KiB/320.1 KiB"));
    // The bar fills the line but never wraps it: 100 columns less the spare one.
    std::string drawn = bars.out.substr(bars.out.find("\x1b[2K") + 4);
    drawn = drawn.substr(0, drawn.find_first_of("\r\n"));
    size_t columns = 0;
    for (unsigned char c : drawn)
        if ((c & 0xC0) != 0x80) ++columns;
    EXPECT_EQ(columns, 99u) << drawn;
}

TEST_F(ClientAgainstDaemonTest, PausedJobWaitsAndPauseStopsARunningUploadUntilResumed) {
    slowChunksOf("held.mov", 150);
    std::string file = makeFile("held.mov", 65536 * 16, 21);
    std::string id = add({file, "--paused"});
    ASSERT_FALSE(id.empty());
    EXPECT_EQ(daemon_.job(id).value("state", ""), "paused");

    // Nothing will move a paused job: watch says so instead of waiting for ever.
    CommandResult stalled = client({"watch", id, "--interval", "0.05"});
    EXPECT_EQ(stalled.status, 1);
    EXPECT_THAT(stalled.err, HasSubstr("job " + id + " is paused"));
    EXPECT_TRUE(service_.calls("UploadChunk").empty());

    CommandResult resume = client({"resume", id});
    EXPECT_EQ(resume.status, 0) << resume.err;
    EXPECT_EQ(resume.out, id + "  running\n");
    ASSERT_TRUE(waitUntil([&] { return bytesUploaded(daemon_.job(id)) > 0; },
                          std::chrono::seconds(30), std::chrono::milliseconds(20)));

    CommandResult pause = client({"pause", id});
    EXPECT_EQ(pause.status, 0) << pause.err;
    EXPECT_EQ(pause.out, id + "  paused\n");
    CommandResult show = client({"show", id});
    EXPECT_THAT(show.out, HasSubstr("State:       paused"));
    EXPECT_LT(bytesUploaded(daemon_.job(id)), 65536u * 16);

    ASSERT_TRUE(service_.control("DELETE", "/control/faults").is_object());
    EXPECT_EQ(client({"resume", id}).status, 0);
    CommandResult watch = client({"watch", id, "--interval", "0.05"});
    EXPECT_EQ(watch.status, 0) << watch.err;
    EXPECT_EQ(uploaded("held.mov"), readFile(file));
}

TEST_F(ClientAgainstDaemonTest, WatchEndsWhenItsJobIsRemovedAndEveryCommandThenFindsNone) {
    slowChunksOf("removed.mov", 200);
    std::string id = add({makeFile("removed.mov", 65536 * 50, 45)});
    ASSERT_FALSE(id.empty());
    ChildProcess watcher(
        clientCommand(daemon_.locatorDirectory(), {"watch", id, "--interval", "0.05"}));
    // Removed once the watch has shown the job moving, long before the slow upload could end.
    bool progressed = watcher.waitForOutput(id + "  running  ", std::chrono::seconds(60));
    CommandResult remove = client({"remove", id});
    CommandResult watch = finish(watcher);
    ASSERT_TRUE(progressed) << watch.out << watch.err;
    EXPECT_EQ(remove.status, 0) << remove.err;
    EXPECT_EQ(remove.out, id + "  removed\n");
    EXPECT_EQ(watch.status, 4) << watch.err;
    EXPECT_THAT(watch.err, HasSubstr("job " + id + " was removed"));

    for (const char* command : {"show", "remove", "pause", "resume", "restart", "watch"}) {
        CommandResult result = client({command, id});
        EXPECT_EQ(result.status, 4) << command << ": " << result.err;
        EXPECT_EQ(result.err, "vantrel-upload: no job with id " + id + "\n");
    }
    EXPECT_THAT(client({"list"}).out, Not(HasSubstr(id)));
    // The failed pause must not have created a job under that id.
    EXPECT_TRUE(daemon_.job(id).is_null());
}

// Status names the daemon; what the daemon refuses carries its HTTP status.
TEST_F(ClientAgainstDaemonTest, StatusNamesTheDaemonAndRefusalsCarryTheHTTPStatus) {
    const std::string directory = daemon_.locatorDirectory();
    EXPECT_EQ(client({"status"}).out,
              fmt::format("Upload daemon running: port {}, pid {} (locator files in {})\n",
                          daemon_.port(), daemon_.pid(), directory));
    EXPECT_EQ(json::parse(client({"status", "--json"}).out, nullptr, false),
              (json{{"running", true},
                    {"locator_directory", directory},
                    {"port", daemon_.port()},
                    {"pid", daemon_.pid()}}));

    // The daemon's paths have one component per id: it refuses this one itself.
    CommandResult refused = client({"show", "a/b"});
    EXPECT_EQ(refused.status, 5);
    EXPECT_THAT(refused.err, HasSubstr("HTTP 405"));

    std::string id = add({makeFile("twice.mov", 100, 61), "--paused", "--id", "fixed-id"});
    ASSERT_FALSE(id.empty());
    CommandResult again = client({"add", makeFile("other.mov", 100, 62), "--paused", "--id", id,
                                  "--server", service_.url(), "--session", "s"});
    EXPECT_EQ(again.status, 1);
    EXPECT_THAT(again.err, HasSubstr("a job with id " + id + " already exists"));
    EXPECT_EQ(daemon_.job(id)["file_list"][0].value("remote_path", ""), "twice.mov");
}

}  // namespace
