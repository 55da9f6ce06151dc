// The daemon executable where the process itself matters: serving with locator files, SIGTERM,
// a second daemon stepping aside (a failed start ends with status 1), the restart request and
// the wait for a network. Help, options and the store directory checks are DaemonStartTests',
// in process. That a dead process's locator files read as no daemon is the locator's test;
// that the daemon then goes on, every start's.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <filesystem>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "logging/VTRFileDescriptor.h"
#include "support/TestSupport.h"
#include "support/UploadDaemon.h"

namespace vtr {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using test::UploadDaemon;
using testing::HasSubstr;

// A daemon on a throw-away home of its own.
class DaemonProcess : public testing::Test {
  protected:
    test::TempDir root_;
    UploadDaemon daemon_{root_.path()};
};

// A restart request is answered, then ends it with 0 a second later and leaves its locator
// files for the next run. (SIGTERM: TellsTheServiceManagerWhenReadyAndWhenStopping.)
TEST_F(DaemonProcess, ServesOnLoopbackAndARestartEndsItWithZero) {
    // Started means: the locator files name it and the published port answers.
    ASSERT_TRUE(daemon_.start({"-o"})) << daemon_.output();
    EXPECT_TRUE(fs::exists(daemon_.storeDirectory() + "/UploadDaemon.sqlite"));
    EXPECT_THAT(daemon_.output(), HasSubstr("Setting log level to '(null)'"));
    auto requested = std::chrono::steady_clock::now();
    test::RawReply answer = daemon_.request("POST", "/restart");
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.body, "");
    EXPECT_EQ(daemon_.waitForExit(), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - requested, 900ms);
    EXPECT_THAT(daemon_.output(), HasSubstr("Restarting daemon"));
    EXPECT_TRUE(fs::exists(daemon_.portFile()));
    EXPECT_TRUE(fs::exists(daemon_.pidFile()));
}

TEST_F(DaemonProcess, ASecondDaemonStepsAsideForALiveOneAndLeavesItsFilesOnTerm) {
    ASSERT_TRUE(daemon_.start({"-o"})) << daemon_.output();
    const std::optional<int> port = daemon_.port();

    UploadDaemon second(root_.file("second"));  // its own store, the first one's locator files
    auto started = std::chrono::steady_clock::now();
    auto aside = second.launch({"-o", "-p", daemon_.locatorDirectory()});
    EXPECT_EQ(aside->waitForExit(), 1);
    EXPECT_GE(std::chrono::steady_clock::now() - started, 3s) << "it waits before deciding";
    EXPECT_THAT(aside->errors(),
                HasSubstr("An existing daemon is running on port " + std::to_string(*port)));
    EXPECT_TRUE(fs::exists(second.storeDirectory() + "/UploadDaemon.sqlite"))
        << "the store is opened before the check";
    EXPECT_THAT(aside->errors(), testing::Not(HasSubstr("Started HTTP server")));

    // Ended by a signal in the middle of its check, it must not remove the first one's files.
    auto ended = second.launch({"-o", "-p", daemon_.locatorDirectory()});
    ASSERT_TRUE(ended->waitForErrors("Found local upload daemon at port"));
    EXPECT_EQ(ended->stop(SIGTERM), 15) << "its handler ended it";

    EXPECT_TRUE(daemon_.running());
    EXPECT_EQ(daemon_.waitForLocatorFiles(daemon_.pid(), 1s), port) << "the first keeps its files";
}

// Under systemd (NOTIFY_SOCKET names the service manager's datagram socket) the daemon reports
// READY=1 only once its locator files name it, and STOPPING=1 when SIGTERM ends it, with 15,
// removing its locator files. Without NOTIFY_SOCKET it runs as every other test here shows.
TEST_F(DaemonProcess, TellsTheServiceManagerWhenReadyAndWhenStopping) {
    std::string socketPath = root_.file("notify");
    VTRFileDescriptor manager(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(socketPath.size(), sizeof address.sun_path);
    socketPath.copy(address.sun_path, socketPath.size());
    ASSERT_EQ(bind(manager.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    // The next datagram, or "" when none arrives within `timeout`.
    auto receive = [&](std::chrono::milliseconds timeout) {
        pollfd ready{manager.get(), POLLIN, 0};
        char buffer[256];
        if (poll(&ready, 1, static_cast<int>(timeout.count())) != 1) return std::string();
        ssize_t got = recv(manager.get(), buffer, sizeof buffer, 0);
        return got > 0 ? std::string(buffer, static_cast<size_t>(got)) : std::string();
    };

    daemon_.setEnvironment({"NOTIFY_SOCKET=" + socketPath});
    auto serving = daemon_.launch({"-o", "-p", daemon_.locatorDirectory()});
    EXPECT_EQ(receive(60s), "READY=1") << serving->errors();
    EXPECT_TRUE(daemon_.waitForLocatorFiles(serving->pid(), 0ms).has_value())
        << "the locator files exist when it reports ready";
    EXPECT_EQ(receive(0ms), "");
    EXPECT_EQ(serving->stop(SIGTERM), 15);
    EXPECT_EQ(receive(0ms), "STOPPING=1");
    EXPECT_EQ(receive(0ms), "");
    EXPECT_THAT(serving->errors(), HasSubstr("SIGNAL RECEIVED: 15"));
    EXPECT_FALSE(fs::exists(daemon_.portFile()));
    EXPECT_FALSE(fs::exists(daemon_.pidFile()));
}

// In a network namespace without routes the daemon waits for a network before doing anything
// else; a default route lets it go on.
TEST_F(DaemonProcess, WaitsForANetworkBeforeStarting) {
    if (!test::canMakeNetworkNamespaces() ||
        system("command -v ip nsenter unshare >/dev/null") != 0)
        GTEST_SKIP() << "needs network namespaces, ip, nsenter and unshare";
    auto waiting = daemon_.launch({"-o", "-p", daemon_.locatorDirectory()},
                                  {"/usr/bin/unshare", "--net", "--"});
    // Give it time to get past help and into the wait; it must neither log, nor open the
    // store, nor publish anything while there is no network.
    EXPECT_FALSE(daemon_.waitForLocatorFiles(waiting->pid(), 1500ms).has_value());
    EXPECT_FALSE(waiting->hasExited());
    EXPECT_FALSE(fs::exists(daemon_.storeDirectory()));
    EXPECT_EQ(waiting->errors(), "");

    std::string addRoute = "nsenter -t " + std::to_string(waiting->pid()) +
                           " -n sh -c 'ip link set lo up && ip route add default dev lo'";
    ASSERT_EQ(system(addRoute.c_str()), 0);
    ASSERT_TRUE(daemon_.waitForLocatorFiles(waiting->pid()).has_value()) << waiting->errors();
    EXPECT_THAT(waiting->errors(), HasSubstr("Setting log level to '(null)'"));
    EXPECT_EQ(waiting->stop(SIGTERM), 15);
}

}  // namespace
}  // namespace vtr
