// The single-instance locator over real files and real processes: writing and deleting the
// locator files, each search's verdict and console messages (hostile files included), and the
// reports that directory changes and a daemon's exit bring.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "daemon/VTRUploadDaemonLocator.h"
#include "foundation/VTRRunLoop.h"
#include "support/ChildProcess.h"
#include "support/OtherUser.h"
#include "support/TestSupport.h"

namespace vtr {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using testing::HasSubstr;

struct LocatorReports : VTRUploadDaemonLocatorDelegate {
    void locatorFoundLocalServiceWithPort(VTRUploadDaemonLocator&, int64_t port) override {
        events.push_back("found " + std::to_string(port));
    }
    void locatorRemovedLocalService(VTRUploadDaemonLocator&) override { events.push_back("lost"); }
    std::vector<std::string> events;
};

class Locator : public testing::Test {
  protected:
    std::unique_ptr<VTRUploadDaemonLocator> makeLocator(std::optional<std::string> path) {
        auto locator = std::make_unique<VTRUploadDaemonLocator>(
            path, std::make_unique<VTRFileEventsHelper>(loop_, 50ms),
            std::make_unique<VTRProcessTerminationTracker>(loop_, 50ms));
        locator->setDelegate(&reports_);
        return locator;
    }

    // Runs a search and returns what it wrote to the console.
    std::string consoleOfSearch(VTRUploadDaemonLocator& locator) {
        testing::internal::CaptureStderr();
        locator.updatePortService();
        return testing::internal::GetCapturedStderr();
    }

    test::TempDir dir_;
    VTRRunLoop loop_;
    LocatorReports reports_;
};

// Both files hold bare decimals; a write or delete that fails is only logged.
TEST_F(Locator, NamesItsDirectoryWritesBothFilesAsBareDecimalsAndOnlyLogsFailures) {
    testing::internal::CaptureStderr();
    auto locator = makeLocator(dir_.path());
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Upload daemon locator files at " + dir_.path() + "\n");
    EXPECT_EQ(locator->currentPort(), 0) << "before the first search";
    locator->writeLocatorFilesForPort(52110);
    EXPECT_EQ(test::readFile(dir_.file("UploadDaemon.port")), "52110");
    EXPECT_EQ(test::readFile(dir_.file("UploadDaemon.pid")), std::to_string(getpid()));
    locator->writeLocatorFilesForPort(8);  // replaces, never appends
    EXPECT_EQ(test::readFile(dir_.file("UploadDaemon.port")), "8");
    locator->deleteLocatorFiles();
    EXPECT_TRUE(fs::is_empty(dir_.path()));

    auto missing = makeLocator(dir_.file("no/such/dir"));
    testing::internal::CaptureStderr();
    missing->writeLocatorFilesForPort(1234);
    locator->deleteLocatorFiles();
    std::string console = testing::internal::GetCapturedStderr();
    for (const std::string& line :
         {"Failed to write port file to path " + dir_.file("no/such/dir/UploadDaemon.port"),
          "Failed to write pid file to path " + dir_.file("no/such/dir/UploadDaemon.pid"),
          "Failed to delete port file from path " + dir_.file("UploadDaemon.port"),
          "Failed to delete pid file from path " + dir_.file("UploadDaemon.pid")})
        EXPECT_THAT(console, HasSubstr(line + " due to error "));
    EXPECT_FALSE(fs::exists(dir_.file("no")));
}

// Every search reports: found with the port for a live process's files, lost otherwise.
TEST_F(Locator, EachSearchReportsFoundOrLost) {
    struct Case {
        std::optional<std::string> port, pid;
        std::vector<std::string> expectedLines;
        std::string event;
    };
    pid_t dead = test::endedProcessID();
    std::string self = std::to_string(getpid());
    std::string failedLoad = "Failed to load contents of file from path " + dir_.path();
    std::vector<Case> cases = {
        {"52110",
         self,
         {"Found local upload daemon at port 52110 with pid " + self},
         "found 52110"},
        {std::nullopt,
         std::nullopt,
         {failedLoad + "/UploadDaemon.port due to error ",
          failedLoad + "/UploadDaemon.pid due to error ", "Lost local upload daemon"},
         "lost"},
        {"abc", self, {"Lost local upload daemon"}, "lost"},
        {"52110\n", self, {"Lost local upload daemon"}, "lost"},
        {"52110", "12x", {"Pid not running 0"}, "lost"},
        {"52110", std::to_string(dead), {"Pid not running " + std::to_string(dead)}, "lost"},
        {"52110", "0", {"Pid not running 0"}, "lost"},
        {"52110", "-1", {"Pid not running -1"}, "lost"},
        {"52110", "99999999999", {"Pid not running 99999999999"}, "lost"},
    };
    auto locator = makeLocator(dir_.path());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.port.value_or("(none)") + " / " + c.pid.value_or("(none)"));
        fs::remove(dir_.file("UploadDaemon.port"));
        fs::remove(dir_.file("UploadDaemon.pid"));
        if (c.port) test::writeFile(dir_.file("UploadDaemon.port"), *c.port);
        if (c.pid) test::writeFile(dir_.file("UploadDaemon.pid"), *c.pid);
        for (int search = 0; search < 2; ++search) {
            reports_.events.clear();
            std::string console = consoleOfSearch(*locator);
            for (const std::string& line : c.expectedLines) EXPECT_THAT(console, HasSubstr(line));
            bool found = c.event != "lost";
            EXPECT_TRUE(console.ends_with(found ? c.expectedLines.back() + "\n"
                                                : "Lost local upload daemon\n"))
                << console;
            EXPECT_EQ(reports_.events, std::vector<std::string>{c.event});
            EXPECT_EQ(locator->hasLocatedService(), found);
            EXPECT_EQ(locator->currentPort(), found ? 52110 : VTRNotFound);
            EXPECT_EQ(locator->tracker().isRegistered(), found);
        }
    }
}

// Whoever can write to the locator directory may put anything under the port file's name.
// Each search runs in a child process that an alarm ends should the search block or keep
// reading; the child reports whether the file was refused as it should be.
TEST_F(Locator, HostilePortFilesAreRefusedPromptly) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    struct Case {
        const char* what;
        std::function<void(const std::string&)> plant;
        std::string reason;
    };
    std::vector<Case> cases = {
        {"FIFO", [](const std::string& p) { ASSERT_EQ(mkfifo(p.c_str(), 0644), 0); },
         "not a regular file"},
        {"directory", [](const std::string& p) { fs::create_directory(p); }, "not a regular file"},
        {"a megabyte of digits",
         [](const std::string& p) { test::writeFile(p, std::string(1 << 20, '7')); },
         "longer than 64 bytes"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(dir_.file("UploadDaemon.port"));
        c.plant(dir_.file("UploadDaemon.port"));
        test::writeFile(dir_.file("UploadDaemon.pid"), std::to_string(getpid()));
        EXPECT_EXIT(
            {
                alarm(5);
                auto locator = makeLocator(dir_.path());
                locator->updatePortService();
                _exit(locator->hasLocatedService() ? 1 : 0);
            },
            testing::ExitedWithCode(0),
            // The child runs the test again from the start, in a directory of its own.
            "Failed to load contents of file from path /.*/UploadDaemon.port due to error " +
                c.reason + "\n");
    }
}

// Whoever can write to the locator directory plants, as another user, links named like the
// locator files that point at a file of ours, then files of their own: neither is read, removed
// or written through, and the files written are regular files of ours.
TEST_F(Locator, PlantedLinksAndOtherUsersFilesAreNeitherFollowedNorTrusted) {
    std::string why;
    std::optional<test::OtherUser> nobody = test::nobodyUser(&why);
    if (!nobody) GTEST_SKIP() << why;
    ASSERT_EQ(chmod(dir_.path().c_str(), 0777), 0);
    const std::string victim = dir_.file("victim");
    test::writeFile(victim, "precious");
    const std::string port = dir_.file("UploadDaemon.port");
    const std::string pid = dir_.file("UploadDaemon.pid");
    auto plant = [&](const std::string& path, bool asLink, const std::string& text) {
        fs::remove(path);
        if (asLink)
            ASSERT_EQ(symlink(victim.c_str(), path.c_str()), 0);
        else
            test::writeFile(path, text);
        ASSERT_EQ(lchown(path.c_str(), nobody->uid, nobody->gid), 0);
    };
    const std::string foreign = "it belongs to another user (uid " + std::to_string(nobody->uid);
    for (bool asLink : {true, false}) {
        SCOPED_TRACE(asLink ? "links" : "another user's files");
        test::writeFile(victim, std::to_string(getpid()));  // a live pid, were it followed
        plant(port, asLink, "4711");
        plant(pid, asLink, std::to_string(getpid()));
        const std::string reason = asLink ? "it is a symbolic link" : foreign;
        test::ScopedLogCapture capture;
        auto locator = makeLocator(dir_.path());
        testing::internal::CaptureStderr();
        locator->updatePortService();
        EXPECT_FALSE(locator->hasLocatedService());
        locator->deleteLocatorFiles();
        testing::internal::GetCapturedStderr();
        EXPECT_TRUE(capture.containsPart("Ignoring the locator file at " + port + ": " + reason));
        EXPECT_TRUE(
            capture.containsPart("Leaving the pid file at " + pid + " in place: " + reason));
        EXPECT_EQ(fs::is_symlink(pid), asLink) << "left where it was";

        locator->writeLocatorFilesForPort(52110);
        EXPECT_EQ(test::readFile(victim), std::to_string(getpid()));
        for (const std::string& path : {port, pid}) {
            struct stat status {};
            ASSERT_EQ(lstat(path.c_str(), &status), 0);
            EXPECT_TRUE(S_ISREG(status.st_mode)) << path;
            EXPECT_EQ(status.st_uid, geteuid()) << path;
        }
        EXPECT_EQ(test::readFile(port), "52110");
        EXPECT_EQ(consoleOfSearch(*locator).find("Found local upload daemon at port 52110"), 0u);
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path()), fs::directory_iterator()), 3)
        << "no temporary file is left behind";
}

TEST_F(Locator, PathsAreStandardised) {
    EXPECT_EQ(makeLocator(std::nullopt)->path(), "/var/vantrel");
    EXPECT_EQ(makeLocator(dir_.path() + "//sub/../")->path(), dir_.path());
    EXPECT_EQ(makeLocator(".")->path(), fs::current_path().string());
    EXPECT_EQ(makeLocator("./")->path(), fs::current_path().string());
    EXPECT_EQ(standardizePath("/a//b/./c/../d/"), "/a/b/d");
    EXPECT_EQ(standardizePath("rel/x/.."), "rel");
    EXPECT_EQ(standardizePath("/"), "/");
}

TEST_F(Locator, HearsADaemonArriveByTheDirectoryAndLeaveByItsExit) {
    auto locator = makeLocator(dir_.path());
    locator->start();
    EXPECT_EQ(reports_.events, std::vector<std::string>{"lost"}) << "start reports at once";

    // Another process plays the daemon: it publishes its files and later exits.
    test::ChildProcess daemon({"sleep", "600"});
    test::writeFile(dir_.file("UploadDaemon.pid"), std::to_string(daemon.pid()));
    test::writeFile(dir_.file("UploadDaemon.port"), "4711");

    ASSERT_TRUE(loop_.runUntil(
        [&] { return reports_.events.size() >= 2 && reports_.events.back() == "found 4711"; },
        10s));
    EXPECT_TRUE(locator->tracker().isRegistered());

    // The dead daemon leaves its files behind; only the exit report can tell.
    locator->stop();
    reports_.events.clear();
    testing::internal::CaptureStderr();
    daemon.stop(SIGKILL);
    bool lost = loop_.runUntil([&] { return !reports_.events.empty(); }, 10s);
    std::string console = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(lost);
    EXPECT_EQ(reports_.events, std::vector<std::string>{"lost"});
    EXPECT_THAT(console, HasSubstr("Terminated upload daemon with pid " +
                                   std::to_string(daemon.pid()) + "\n"));
}

TEST_F(Locator, AfterStopDirectoryChangesReachNobody) {
    auto locator = makeLocator(dir_.path());
    locator->start();
    locator->stop();
    reports_.events.clear();
    locator->writeLocatorFilesForPort(999);
    loop_.runFor(300ms);
    EXPECT_TRUE(reports_.events.empty());
}

}  // namespace
}  // namespace vtr
