// The daemon's start in process, with injected places: its command line and the per-user data
// directory, help, and the checks of the store directory (another user's planted files
// included); nothing may be created before the step that needs it. Then its own HTTP server
// as it configures it: the body and connection limits, other users' connections, and the
// modes of the files the daemon makes. Last, the crash handlers it installs, each case in a
// child process of its own (death tests). DaemonProcessTests prove that a failed start ends
// the executable with status 1.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <stdexcept>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "RawHTTPClient.h"
#include "daemon/VTRApplicationSupport.h"
#include "daemon/VTRCommandLine.h"
#include "daemon/VTRCrashHandler.h"
#include "daemon/VTRUploadDaemon.h"
#include "httpserver/HTTPServer.h"
#include "support/OtherUser.h"
#include "support/TestSupport.h"

namespace vtr {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::RawHTTPClient;
using testing::HasSubstr;

std::string requestText(const std::string& method, const std::string& path,
                        const std::string& body = {}) {
    return method + " " + path +
           " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
}

mode_t modeOf(const std::string& path) {
    struct stat status {};
    EXPECT_EQ(::stat(path.c_str(), &status), 0) << path;
    return status.st_mode & 07777;
}

TEST(CommandLine, OptionsAreWholeArgumentsAndAValueIsTheArgumentAfterTheFirstOccurrence) {
    VTRCommandLine line({"/usr/sbin/vantrel-uploadd", "-o", "--h", "-H", "x-h", "-lverbose"});
    EXPECT_TRUE(line.contains("-o"));
    EXPECT_FALSE(line.contains("-h"));
    EXPECT_FALSE(line.contains("-l"));
    EXPECT_TRUE(VTRCommandLine({"-h"}).contains("-h")) << "the program path is searched too";
    EXPECT_EQ(line.processName(), "vantrel-uploadd");
    EXPECT_EQ(VTRCommandLine({"vantrel-uploadd"}).processName(), "vantrel-uploadd");

    VTRCommandLine values({"prog", "-p", "/tmp/a", "-l", "info", "-p", "/tmp/b", "-l"});
    EXPECT_EQ(values.valueFor("-p"), "/tmp/a");
    EXPECT_EQ(values.valueFor("-l"), "info");
    EXPECT_EQ(VTRCommandLine({"prog", "-l", "-o"}).valueFor("-l"), "-o");
    EXPECT_EQ(VTRCommandLine({"prog", "-p"}).valueFor("-p"), std::nullopt);
    EXPECT_EQ(resolvedPath({"prog", "-p", "some//dir/../x/"}), "some//dir/../x/");
    EXPECT_EQ(resolvedPath({"prog", "-o", "-p"}), std::nullopt);
    EXPECT_EQ(resolvedPath({"prog"}), std::nullopt);
}

TEST(ApplicationSupport, PrefersXdgDataHomeThenHomeThenThePasswordDatabase) {
    const std::vector<std::pair<std::map<std::string, std::string>, std::string>> cases = {
        {{{"XDG_DATA_HOME", "/data"}, {"HOME", "/home/u"}}, "/data"},
        {{{"HOME", "/home/u/"}}, "/home/u/.local/share"},
        // An empty or relative XDG_DATA_HOME is not a usable location.
        {{{"XDG_DATA_HOME", ""}, {"HOME", "/home/u"}}, "/home/u/.local/share"},
        {{{"XDG_DATA_HOME", "rel/data"}, {"HOME", "/home/u"}}, "/home/u/.local/share"},
    };
    for (const auto& [variables, expected] : cases) {
        auto environment = [&variables](const char* name) -> const char* {
            auto found = variables.find(name);
            return found == variables.end() ? nullptr : found->second.c_str();
        };
        EXPECT_EQ(applicationSupportDirectory(environment), expected);
    }
    std::optional<std::string> fromDatabase =
        applicationSupportDirectory([](const char*) -> const char* { return nullptr; });
    ASSERT_TRUE(fromDatabase.has_value());
    EXPECT_TRUE(fromDatabase->starts_with("/") && fromDatabase->ends_with("/.local/share"))
        << *fromDatabase;
}

class DaemonStart : public testing::Test {
  protected:
    void TearDown() override {
        if (server_) server_->stop();
        VTRLog::flush();
        VTRLog::removeAllDestinations();
        ddLogLevel.store(15);
    }

    VTRUploadDaemonSettings settings(std::string dataHome) {
        VTRUploadDaemonSettings settings;
        settings.logFiles.directory = logs_;
        settings.environment = [dataHome = std::move(dataHome)](const char* name) -> const char* {
            return std::string(name) == "XDG_DATA_HOME" ? dataHome.c_str() : nullptr;
        };
        settings.installCrashHandlers = false;
        settings.otherDaemonWait = std::chrono::milliseconds(10);
        return settings;
    }

    // Logging at the verbose level, the store, and the daemon's HTTP server, started.
    void startServer() {
        fs::create_directories(locator_);
        daemon_ = std::make_unique<VTRUploadDaemon>(
            std::vector<std::string>{"vantrel-uploadd", "-l", "verbose", "-p", locator_},
            settings(data_));
        ASSERT_TRUE(daemon_->configureLogging());
        ASSERT_TRUE(daemon_->configurePersistentStorage());
        server_ = daemon_->configureHTTPServer();
        VTRError error;
        ASSERT_TRUE(server_->start(&error)) << error.description();
        port_ = server_->listeningPort();
    }

    test::TempDir dir_;
    std::string locator_ = dir_.file("locator");
    std::string logs_ = dir_.file("logs");
    std::string data_ = dir_.file("data");
    std::string store_ = data_ + "/vantrel-uploadd";
    std::string database_ = store_ + "/UploadDaemon.sqlite";
    std::unique_ptr<VTRUploadDaemon> daemon_;
    std::unique_ptr<HTTPServer> server_;
    uint16_t port_ = 0;
};

TEST_F(DaemonStart, HelpAnywherePrintsUsageAndCreatesNeitherLogsNorStore) {
    VTRUploadDaemon daemon({"/opt/bin/vantrel-uploadd", "-o", "-h", "-l", "bogus"},
                           settings(data_));
    testing::internal::CaptureStdout();
    EXPECT_FALSE(daemon.start());
    std::string usage = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(
        usage.starts_with("usage: vantrel-uploadd [options]\n"
                          "  options:\n"
                          "    -h Show usage help\n"
                          "    -o Also send logging to STDOUT\n"
                          "    -l Set minimum log info. One of [verbose|info|warn|error]\n"))
        << usage;
    for (const char* option : {"-b RATE Limit", "-c FILE Also"})
        EXPECT_THAT(usage, HasSubstr(std::string("\n    ") + option));
    EXPECT_FALSE(fs::exists(logs_));
    EXPECT_FALSE(fs::exists(data_));
    EXPECT_EQ(daemon.locator(), nullptr);
}

// Each start that cannot go on logs why and ends before the daemon search; unusable options end
// it before the store is made.
TEST_F(DaemonStart, StartsThatCannotGoOnLogWhyAndMakeNoStore) {
    test::writeFile(dir_.file("blocker"), "");
    const std::string blocked = dir_.file("blocker/data"), missing = dir_.file("missing.pem");
    struct Case {
        std::vector<std::string> arguments;
        std::string dataHome;
        std::vector<std::string> lines;
    };
    const std::vector<Case> cases = {
        {{"vantrel-uploadd", "-c", missing},
         data_,
         {"Unable to use the certificate authorities in " + missing +
          ": No such file or directory"}},
        {{"vantrel-uploadd", "-c"}, data_, {"-c needs a file of certificate authorities (PEM)"}},
        {{"vantrel-uploadd", "-l", "error", "-b", "fast"},
         data_,
         {"-b takes a rate in bytes per second, optionally with K, M or G: fast"}},
        {{"vantrel-uploadd", "-l", "error"},
         blocked,
         {"  Setting log level to 'error'\n",
          "  Unable to create directory at " + blocked + "/vantrel-uploadd: "}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lines.back());
        VTRUploadDaemon daemon(c.arguments, settings(c.dataHome));
        EXPECT_FALSE(daemon.start());
        VTRLog::flush();
        for (const std::string& line : c.lines)
            EXPECT_THAT(test::readFilesIn(logs_), HasSubstr(line));
        EXPECT_FALSE(fs::exists(data_));
        EXPECT_EQ(daemon.locator(), nullptr) << "no daemon search";
    }
}

// A regular file where the directory belongs, and another user's directory or database planted
// in the hope of reading the jobs' credentials from it or from the files SQLite would create
// beside it: each is refused, and nothing is created in it.
TEST_F(DaemonStart, AStoreThatIsNoDirectoryOrIsAnotherUsersIsRefused) {
    std::string why;
    std::optional<test::OtherUser> nobody = test::nobodyUser(&why);
    auto giveAway = [&](const std::string& path, mode_t mode) {
        ASSERT_EQ(chmod(path.c_str(), mode), 0);
        ASSERT_EQ(lchown(path.c_str(), nobody->uid, nobody->gid), 0);
    };
    std::string foreign =
        "it belongs to another user (uid " + std::to_string(nobody ? nobody->uid : 0) + ")";
    struct Case {
        const char* what;
        bool needsOtherUser;
        std::function<void()> plant;  // into an empty store directory of ours
        std::string expectedLine;
    };
    std::vector<Case> cases = {
        {"regular file", false,
         [&] {
             fs::remove(store_);
             test::writeFile(store_, "");
         },
         store_ + " should be a directory!"},
        {"directory", true, [&] { giveAway(store_, 0777); },
         "Refusing the job store at " + store_ + ": " + foreign},
        {"database", true,
         [&] {
             test::writeFile(database_, "");
             giveAway(database_, 0666);
         },
         "Refusing the job store at " + database_ + ": " + foreign},
        {"database as a link", true,
         [&] {
             test::writeFile(dir_.file("elsewhere"), "");
             ASSERT_EQ(symlink(dir_.file("elsewhere").c_str(), database_.c_str()), 0);
         },
         "Refusing the job store at " + database_ + ": it is a symbolic link"},
    };
    VTRUploadDaemon daemon({"vantrel-uploadd"}, settings(data_));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.needsOtherUser && !nobody) {
            std::cout << "skipped: " << why << "\n";
            continue;
        }
        fs::remove_all(store_);
        fs::create_directories(store_);
        c.plant();
        test::ScopedLogCapture capture;
        EXPECT_EQ(daemon.URLForPersistentStore(), std::nullopt);
        EXPECT_TRUE(capture.contains(c.expectedLine));
        EXPECT_FALSE(fs::exists(database_ + "-wal"));
    }
    fs::remove_all(store_);
    EXPECT_EQ(daemon.URLForPersistentStore(), database_);
    EXPECT_TRUE(fs::is_directory(store_));
}

TEST_F(DaemonStart, ServerRefusesBodiesOverSixteenMebibytesAndThe257thConnection) {
    startServer();
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
    // The connections above must have left before the count starts.
    ASSERT_TRUE(test::waitUntil([&] { return server_->numberOfHTTPConnections() == 0; }));
    std::vector<std::unique_ptr<RawHTTPClient>> open;
    for (int i = 0; i < 256; ++i) {
        open.push_back(std::make_unique<RawHTTPClient>(port_));
        ASSERT_TRUE(open.back()->connected());
    }
    // Each accept reads the kernel's socket tables, which these connections fill: on a busy
    // machine admitting all of them takes several seconds.
    ASSERT_TRUE(test::waitUntil([&] { return server_->numberOfHTTPConnections() == 256; }, 60s));
    RawHTTPClient extra(port_);
    EXPECT_TRUE(extra.closesUnanswered(requestText("GET", "/")));
    auto served = open.front()->exchange(requestText("GET", "/jobs"));
    ASSERT_TRUE(served);
    EXPECT_EQ(served->body, "[]");
}

TEST_F(DaemonStart, AnotherUserCannotReachTheServer) {
    if (::geteuid() != 0) GTEST_SKIP() << "connecting as another user needs root";
    test::ScopedLogCapture capture;
    startServer();
    auto stranger = RawHTTPClient::connectedAsUser(65534, port_);
    ASSERT_TRUE(stranger->connected());
    EXPECT_TRUE(stranger->closesUnanswered(requestText("PUT", "/jobs/theirs", "{}")));
    EXPECT_TRUE(capture.containsPart("it belongs to user 65534, not 0"));
    EXPECT_EQ(RawHTTPClient::once(port_, requestText("GET", "/jobs")).body, "[]");
}

TEST_F(DaemonStart, FilesAreMadeWithTheirModes) {
    // Loose permissions left by earlier versions are tightened; a permissive umask changes
    // nothing.
    fs::create_directories(store_);
    ::chmod(store_.c_str(), 0755);
    test::writeFile(database_, "");
    ::chmod(database_.c_str(), 0644);
    // A log file an earlier run left readable by all is continued, and tightened too.
    fs::create_directories(logs_);
    test::writeFile(logs_ + "/log-ABC123.txt", "2026/12/06 09:00:00:000  earlier\n");
    ::chmod((logs_ + "/log-ABC123.txt").c_str(), 0666);
    mode_t previous = ::umask(0);
    startServer();
    VTRLogInfo("a line for the log file");
    VTRLog::flush();
    EXPECT_THAT(test::readFile(logs_ + "/log-ABC123.txt"), HasSubstr("a line for the log file"));
    daemon_->checkForRunningDaemons();
    daemon_->locator()->writeLocatorFilesForPort(port_);
    daemon_->stopLocator();
    ::umask(previous);

    EXPECT_EQ(modeOf(store_), 0700u);
    EXPECT_EQ(modeOf(database_), 0600u);
    EXPECT_EQ(modeOf(locator_ + "/UploadDaemon.port"), 0644u);
    EXPECT_EQ(modeOf(locator_ + "/UploadDaemon.pid"), 0644u);
    EXPECT_EQ(modeOf(logs_ + "/log-ABC123.txt"), 0640u);
    EXPECT_EQ(std::distance(fs::directory_iterator(logs_), fs::directory_iterator()), 1);
}

// ---- crash handlers

// Writes each message's text to standard error, where the death test looks for it.
class StandardErrorDestination : public VTRLogDestination {
  public:
    void logMessage(const VTRLogMessage& message) override {
        std::string line = message.text + "\n";
        [[maybe_unused]] ssize_t ignored = write(2, line.data(), line.size());
    }
};

// Each case crashes in its own child process after the handlers are installed; the exit and
// the standard error are checked, log lines and clean-up in their order.
TEST(CrashHandler, EachEndLogsCleansUpAndExitsWithItsStatus) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    struct Case {
        std::string what;
        std::function<void()> crash;
        std::function<bool(int)> ended;
        std::string output;
    };
    std::vector<Case> cases = {
        // Thrown where nothing catches it (the death test itself would).
        {"exception", [] { std::thread([] { throw std::runtime_error("disk on fire"); }).join(); },
         testing::ExitedWithCode(6),
         "EXCEPTION RAISED\nname=std::runtime_error reason=disk on fire userInfo=\\(null\\)\n"
         "BACKTRACE:\n.*SIGNAL RECEIVED: 6\nlocator files removed\n"},
        {"logging silenced",
         [] {
             ddLogLevel.store(0);
             kill(getpid(), SIGTERM);
         },
         testing::ExitedWithCode(15), "^locator files removed\n$"},
        // Other signals keep their default action.
        {"SIGINT", [] { raise(SIGINT); }, testing::KilledBySignal(SIGINT), ""},
    };
    // A termination request comes from outside; the others from the thread itself.
    for (int number : {SIGTERM, SIGABRT, SIGILL, SIGBUS})
        cases.push_back(
            {std::to_string(number),
             [number] { number == SIGTERM ? kill(getpid(), number) : raise(number); },
             testing::ExitedWithCode(number),
             "SIGNAL RECEIVED: " + std::to_string(number) + "\nlocator files removed\n"});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EXIT(
            {
                VTRLog::addDestination(std::make_shared<StandardErrorDestination>());
                VTRCrashHandler::install([] {
                    [[maybe_unused]] ssize_t ignored = write(2, "locator files removed\n", 22);
                });
                c.crash();
                for (;;) pause();
            },
            c.ended, c.output);
    }
}

}  // namespace
}  // namespace vtr
