// The directory watcher and the process-exit tracker on a run loop driven by the test thread,
// with short injected latencies.
#include <signal.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "daemon/VTRFileEventsHelper.h"
#include "daemon/VTRProcessTerminationTracker.h"
#include "foundation/VTRRunLoop.h"
#include "support/ChildProcess.h"
#include "support/TestSupport.h"

namespace vtr {
namespace {

using namespace std::chrono_literals;
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

TEST(FileEventsHelper, CoalescesABurstOfChangesIntoOneReportAfterTheLatency) {
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
}

TEST(FileEventsHelper, NothingIsReportedAfterStopOrDestructionOrForAMissingDirectory) {
    test::TempDir dir;
    VTRRunLoop loop;
    DirectoryReports reports;
    VTRFileEventsHelper missing(loop, 50ms);
    missing.startWatchingDirectory("/nonexistent/vantrel/locator");
    EXPECT_FALSE(missing.isWatching());
    EXPECT_EQ(missing.path(), "/nonexistent/vantrel/locator");

    VTRFileEventsHelper stopped(loop, 50ms);
    stopped.setDelegate(&reports);
    stopped.stopWatching();  // never started
    stopped.startWatchingDirectory(dir.path());
    test::writeFile(dir.file("a"), "1");
    stopped.stopWatching();  // with a report pending
    stopped.stopWatching();
    EXPECT_FALSE(stopped.isWatching());
    {
        VTRFileEventsHelper destroyed(loop, 300ms);
        destroyed.setDelegate(&reports);
        destroyed.startWatchingDirectory(dir.path());
        test::writeFile(dir.file("b"), "1");
        loop.runFor(5ms);  // let the event arrive and the delivery timer start
    }
    test::writeFile(dir.file("c"), "1");
    loop.runFor(600ms);
    EXPECT_TRUE(reports.paths.empty());
}

TEST(ProcessTerminationTracker, ReportsOneExitAfterItsDelay) {
    VTRRunLoop loop;
    ExitReports reports;
    const auto delay = 200ms;
    VTRProcessTerminationTracker tracker(loop, delay);
    tracker.setDelegate(&reports);
    Child child;
    tracker.registerForPid(child.pid());
    ASSERT_TRUE(tracker.isRegistered());

    loop.runFor(50ms);
    EXPECT_TRUE(reports.pids.empty()) << "no report while the process lives";
    auto exited = Clock::now();
    child.release();

    ASSERT_TRUE(loop.runUntil([&] { return !reports.pids.empty(); }, 10s));
    EXPECT_EQ(reports.pids, std::vector<pid_t>{child.pid()});
    EXPECT_GE(reports.times[0] - exited, delay);
    loop.runFor(delay * 2);
    EXPECT_EQ(reports.pids.size(), 1u);
    EXPECT_TRUE(tracker.isRegistered()) << "stays registered, silent, until deregistered";
}

// Nothing is reported for a deregistered process, for one that is gone before it is registered,
// or for one whose watch a later registration replaced.
TEST(ProcessTerminationTracker, ReportsOnlyTheLastRegisteredLiveProcess) {
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
    second.release();
    ASSERT_TRUE(loop.runUntil([&] { return !reports.pids.empty(); }, 10s));
    loop.runFor(delay);
    EXPECT_EQ(reports.pids, std::vector<pid_t>{second.pid()});
}

}  // namespace
}  // namespace vtr
