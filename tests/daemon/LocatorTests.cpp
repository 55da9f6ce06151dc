// What the daemon watches, each on a run loop driven by the test thread with short injected
// latencies: a directory, a process's exit, and the network (the status rule from the flag
// bits, default routes read out of rtnetlink dumps, and the live routing table of a network
// namespace the test changes). Then the single-instance locator built on the first two, over
// real files and real processes: writing and deleting the locator files, each search's verdict
// and console messages (hostile files included), and the reports that directory changes and a
// daemon's exit bring.
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "daemon/Reachability.h"
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
using Clock = std::chrono::steady_clock;

struct DirectoryReports : VTRFileEventsHelperDelegate {
    void fileEventsHelperUpdateForPath(VTRFileEventsHelper&, const std::string& path) override {
        paths.push_back(path);
        times.push_back(Clock::now());
    }
    std::vector<std::string> paths;
    std::vector<Clock::time_point> times;
};

struct ExitReports : VTRProcessTerminationTrackerDelegate {
    void processTerminationTrackerTerminatedPid(VTRProcessTerminationTracker&, pid_t pid) override {
        pids.push_back(pid);
        times.push_back(Clock::now());
    }
    std::vector<pid_t> pids;
    std::vector<Clock::time_point> times;
};

// A child process that lives until the test ends it.
struct Child : test::ChildProcess {
    Child() : ChildProcess({"sleep", "600"}) {}
    void release() { stop(SIGKILL); }
};

TEST(FileEventsHelper, CoalescesABurstIntoOneReportAfterTheLatencyAndIsSilentOnceStopped) {
    test::TempDir dir;
    VTRRunLoop loop;
    DirectoryReports reports;
    const auto latency = 300ms;
    VTRFileEventsHelper helper(loop, latency);
    helper.setDelegate(&reports);
    helper.startWatchingDirectory(dir.path());
    ASSERT_TRUE(helper.isWatching());

    auto changed = Clock::now();
    test::writeFile(dir.file("a"), "1");
    test::writeFile(dir.file("a"), "22");
    std::filesystem::remove(dir.file("a"));

    ASSERT_TRUE(loop.runUntil([&] { return !reports.paths.empty(); }, 10s));
    EXPECT_EQ(reports.paths, std::vector<std::string>{dir.path()});
    EXPECT_GE(reports.times[0] - changed, latency);
    // Nothing else arrives for the same burst.
    loop.runFor(latency * 2);
    EXPECT_EQ(reports.paths.size(), 1u);

    // A later change makes a later report.
    test::writeFile(dir.file("b"), "3");
    ASSERT_TRUE(loop.runUntil([&] { return reports.paths.size() == 2; }, 10s));

    // Nothing is reported after stop or destruction, or for a missing directory.
    helper.stopWatching();
    reports.paths.clear();
    VTRFileEventsHelper missing(loop, 50ms);
    missing.startWatchingDirectory("/nonexistent/vantrel/locator");
    EXPECT_FALSE(missing.isWatching());
    EXPECT_EQ(missing.path(), "/nonexistent/vantrel/locator");

    VTRFileEventsHelper stopped(loop, 50ms);
    stopped.setDelegate(&reports);
    stopped.stopWatching();  // never started
    stopped.startWatchingDirectory(dir.path());
    test::writeFile(dir.file("c"), "1");
    stopped.stopWatching();  // with a report pending
    stopped.stopWatching();
    EXPECT_FALSE(stopped.isWatching());
    {
        VTRFileEventsHelper destroyed(loop, 300ms);
        destroyed.setDelegate(&reports);
        destroyed.startWatchingDirectory(dir.path());
        test::writeFile(dir.file("d"), "1");
        loop.runFor(5ms);  // let the event arrive and the delivery timer start
    }
    test::writeFile(dir.file("e"), "1");
    loop.runFor(600ms);
    EXPECT_TRUE(reports.paths.empty());
}

// One report, after the delay, for the last registered live process only: nothing for a
// deregistered process, for one that is gone before it is registered, or for one whose watch a
// later registration replaced.
TEST(ProcessTerminationTracker, ReportsOneExitAfterItsDelayForTheLastRegisteredLiveProcess) {
    VTRRunLoop loop;
    ExitReports reports;
    // Long enough that the report cannot come due while the loop runs briefly below.
    const auto delay = 400ms;
    VTRProcessTerminationTracker tracker(loop, delay);
    tracker.setDelegate(&reports);

    Child deregistered;
    tracker.registerForPid(deregistered.pid());
    tracker.deregister();
    tracker.deregister();
    EXPECT_FALSE(tracker.isRegistered());
    deregistered.release();

    Child exitedAndDeregistered;
    tracker.registerForPid(exitedAndDeregistered.pid());
    exitedAndDeregistered.release();
    loop.runFor(5ms);  // the exit is seen; its report waits for the delay
    tracker.deregister();

    Child gone;
    gone.release();
    tracker.registerForPid(gone.pid());
    EXPECT_FALSE(tracker.isRegistered());

    loop.runFor(delay * 2);
    EXPECT_TRUE(reports.pids.empty());

    Child first, second;
    tracker.registerForPid(first.pid());
    tracker.registerForPid(second.pid());
    first.release();
    loop.runFor(50ms);
    EXPECT_TRUE(reports.pids.empty()) << "no report while the process lives";
    auto exited = Clock::now();
    second.release();
    ASSERT_TRUE(loop.runUntil([&] { return !reports.pids.empty(); }, 10s));
    EXPECT_GE(reports.times[0] - exited, delay);
    loop.runFor(delay * 2);
    EXPECT_EQ(reports.pids, std::vector<pid_t>{second.pid()});
    EXPECT_TRUE(tracker.isRegistered()) << "stays registered, silent, until deregistered";
}

// ---- network reachability

TEST(ReachabilityStatus, FollowsTheFlagRule) {
    const uint32_t R = kReachabilityFlagReachable, C = kReachabilityFlagConnectionRequired,
                   T = kReachabilityFlagConnectionOnTraffic,
                   I = kReachabilityFlagInterventionRequired,
                   D = kReachabilityFlagConnectionOnDemand;
    EXPECT_EQ(reachabilityStatusForFlags(std::nullopt), NotReachable);
    for (uint32_t flags : {0u, C | T | D, R | C, R | C | T | I, R | C | D | I, R | C | I})
        EXPECT_EQ(reachabilityStatusForFlags(flags), NotReachable) << flags;
    for (uint32_t flags : {R, R | I, R | C | T, R | C | D})
        EXPECT_EQ(reachabilityStatusForFlags(flags), ReachableViaNetwork) << flags;
}

// Builds rtnetlink dumps the way the kernel lays them out.
class DumpBuilder {
  public:
    DumpBuilder& route(int family, int destinationLength, int type, std::optional<int> oif,
                       std::vector<int> nextHops = {}) {
        size_t start = begin(RTM_NEWROUTE);
        struct rtmsg message {};
        message.rtm_family = static_cast<unsigned char>(family);
        message.rtm_dst_len = static_cast<unsigned char>(destinationLength);
        message.rtm_type = static_cast<unsigned char>(type);
        message.rtm_table = RT_TABLE_MAIN;
        append(&message, sizeof message);
        if (oif) attribute(RTA_OIF, &*oif, sizeof(int));
        if (!nextHops.empty()) {
            std::vector<uint8_t> hops;
            for (int index : nextHops) {
                struct rtnexthop hop {};
                hop.rtnh_len = sizeof hop;
                hop.rtnh_ifindex = index;
                auto* bytes = reinterpret_cast<uint8_t*>(&hop);
                hops.insert(hops.end(), bytes, bytes + sizeof hop);
            }
            attribute(RTA_MULTIPATH, hops.data(), hops.size());
        }
        end(start);
        return *this;
    }
    DumpBuilder& done() {
        end(begin(NLMSG_DONE));
        return *this;
    }
    DumpBuilder& error() {
        size_t start = begin(NLMSG_ERROR);
        struct nlmsgerr failure {};
        failure.error = -EPERM;
        append(&failure, sizeof failure);
        end(start);
        return *this;
    }
    std::vector<uint8_t> bytes() const { return bytes_; }

  private:
    size_t begin(uint16_t type) {
        size_t start = bytes_.size();
        struct nlmsghdr header {};
        header.nlmsg_type = type;
        append(&header, sizeof header);
        return start;
    }
    void end(size_t start) {
        uint32_t length = static_cast<uint32_t>(bytes_.size() - start);
        std::memcpy(bytes_.data() + start, &length, sizeof length);
        bytes_.resize(start + NLMSG_ALIGN(length));
    }
    void attribute(unsigned short type, const void* data, size_t size) {
        struct rtattr header {};
        header.rta_type = type;
        header.rta_len = static_cast<unsigned short>(RTA_LENGTH(size));
        append(&header, sizeof header);
        append(data, size);
        bytes_.resize(bytes_.size() + (RTA_ALIGN(header.rta_len) - header.rta_len));
    }
    void append(const void* data, size_t size) {
        auto* p = static_cast<const uint8_t*>(data);
        bytes_.insert(bytes_.end(), p, p + size);
    }
    std::vector<uint8_t> bytes_;
};

TEST(ReachabilityDump, NeedsAUnicastDefaultRouteThroughAnInterfaceThatIsUp) {
    auto upIs = [](int up) { return [up](int index) { return index == up; }; };
    auto check = [&](DumpBuilder dump, int up) {
        return dumpHasDefaultRoute(dump.bytes(), upIs(up));
    };

    EXPECT_EQ(check(DumpBuilder().route(AF_INET, 0, RTN_UNICAST, 2).done(), 2), true);
    EXPECT_EQ(check(DumpBuilder().route(AF_INET6, 0, RTN_UNICAST, 3).done(), 3), true);
    EXPECT_EQ(check(DumpBuilder().route(AF_INET, 0, RTN_UNICAST, 2).done(), 5), false)
        << "interface down";
    EXPECT_EQ(check(DumpBuilder().route(AF_INET, 24, RTN_UNICAST, 2).done(), 2), false)
        << "not a default route";
    EXPECT_EQ(check(DumpBuilder().route(AF_INET, 0, RTN_UNREACHABLE, 2).done(), 2), false);
    EXPECT_EQ(check(DumpBuilder().route(AF_INET, 0, RTN_UNICAST, std::nullopt, {4, 7}).done(), 7),
              true)
        << "multipath";
    DumpBuilder second = DumpBuilder().route(AF_INET, 24, RTN_UNICAST, 2);
    EXPECT_EQ(check(second.route(AF_INET, 0, RTN_UNICAST, 9).done(), 9), true) << "second route";
    EXPECT_EQ(check(DumpBuilder().done(), 1), false);
    EXPECT_EQ(check(DumpBuilder().error(), 1), std::nullopt);

    std::vector<uint8_t> truncated = DumpBuilder().route(AF_INET, 0, RTN_UNICAST, 2).bytes();
    truncated.resize(truncated.size() - 3);
    EXPECT_EQ(dumpHasDefaultRoute(truncated, upIs(2)), std::nullopt);
}

// In a network namespace of its own the test controls the routing table: it starts with no
// route at all, then gains and loses a default route through the loopback interface.
TEST(Reachability, NotifiesWhenADefaultRouteComesAndGoes) {
    if (!test::canMakeNetworkNamespaces())
        GTEST_SKIP() << "needs permission to make a network namespace";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            if (unshare(CLONE_NEWNET) != 0) _exit(1);
            VTRRunLoop loop;
            Reachability reachability(loop);
            if (reachability.currentReachabilityStatus() != NotReachable) _exit(2);
            std::vector<NetworkStatus> reports;
            if (!reachability.startNotifier([&](Reachability& changed) {
                    reports.push_back(changed.currentReachabilityStatus());
                }))
                _exit(3);
            if (std::system("ip link set lo up && ip route add default dev lo") != 0) _exit(4);
            if (!loop.runUntil([&] { return reports.size() == 1; }, std::chrono::seconds(10)))
                _exit(5);
            if (reports[0] != ReachableViaNetwork) _exit(6);
            if (std::system("ip route del default dev lo") != 0) _exit(7);
            if (!loop.runUntil([&] { return reports.size() == 2; }, std::chrono::seconds(10)))
                _exit(8);
            reachability.stopNotifier();
            reachability.stopNotifier();
            _exit(reports[1] == NotReachable ? 0 : 9);
        },
        testing::ExitedWithCode(0), "");
}

// ---- the locator

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

// It names its directory, standardised; both files hold bare decimals; a write or delete that
// fails is only logged.
TEST_F(Locator, NamesItsDirectoryWritesBothFilesAsBareDecimalsAndOnlyLogsFailures) {
    testing::internal::CaptureStderr();
    auto locator = makeLocator(dir_.path() + "//sub/./../");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Upload daemon locator files at " + dir_.path() + "\n");
    EXPECT_EQ(makeLocator(std::nullopt)->path(), "/var/vantrel");
    EXPECT_EQ(makeLocator("./")->path(), fs::current_path().string());
    EXPECT_EQ(standardizePath("rel/x/.."), "rel");
    EXPECT_EQ(standardizePath("/"), "/");
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
        consoleOfSearch(*locator);
        EXPECT_FALSE(locator->hasLocatedService());
        locator->deleteLocatorFiles();
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

TEST_F(Locator, HearsADaemonArriveByTheDirectoryAndLeaveByItsExit) {
    auto locator = makeLocator(dir_.path());
    locator->start();
    EXPECT_EQ(reports_.events, std::vector<std::string>{"lost"}) << "start reports at once";

    // Another process plays the daemon: it publishes its files and later exits.
    Child daemon;
    test::writeFile(dir_.file("UploadDaemon.pid"), std::to_string(daemon.pid()));
    test::writeFile(dir_.file("UploadDaemon.port"), "4711");

    ASSERT_TRUE(loop_.runUntil(
        [&] { return reports_.events.size() >= 2 && reports_.events.back() == "found 4711"; },
        10s));
    EXPECT_TRUE(locator->tracker().isRegistered());

    // After stop, directory changes reach nobody.
    locator->stop();
    reports_.events.clear();
    test::writeFile(dir_.file("UploadDaemon.port"), "999");
    loop_.runFor(300ms);
    EXPECT_TRUE(reports_.events.empty());
    // The dead daemon leaves its files behind; only the exit report can tell.
    testing::internal::CaptureStderr();
    daemon.release();
    bool lost = loop_.runUntil([&] { return !reports_.events.empty(); }, 10s);
    std::string console = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(lost);
    EXPECT_EQ(reports_.events, std::vector<std::string>{"lost"});
    EXPECT_THAT(console, HasSubstr("Terminated upload daemon with pid " +
                                   std::to_string(daemon.pid()) + "\n"));
}

}  // namespace
}  // namespace vtr
