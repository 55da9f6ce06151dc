// The daemon executable end to end: help, option errors, the store directory check, serving
// with locator files, SIGTERM, a second daemon stepping aside, stale locator files, the
// restart request and the wait for a network.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "DaemonProcess.h"
#include "logging/VTRFileDescriptor.h"
#include "support/TestSupport.h"

namespace vtr {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using test::DaemonProcess;

// One daemon's private world: home, data directory and locator directory.
class DaemonWorld {
  public:
    DaemonWorld() {
        fs::create_directories(home());
        fs::create_directories(dataHome());
        fs::create_directories(locatorDirectory());
    }
    std::string home() const { return root_.file("home"); }
    std::string dataHome() const { return root_.file("data"); }
    std::string locatorDirectory() const { return root_.file("locator"); }
    std::string storeDirectory() const { return dataHome() + "/vantrel-uploadd"; }
    std::string portFile() const { return locatorDirectory() + "/UploadDaemon.port"; }
    std::string pidFile() const { return locatorDirectory() + "/UploadDaemon.pid"; }

    std::unique_ptr<DaemonProcess> launch(std::vector<std::string> arguments,
                                          std::vector<std::string> prefix = {}) const {
        std::vector<std::string> command = prefix;
        command.push_back(test::daemonExecutable());
        command.insert(command.end(), arguments.begin(), arguments.end());
        return std::make_unique<DaemonProcess>(
            command,
            std::map<std::string, std::string>{{"HOME", home()}, {"XDG_DATA_HOME", dataHome()}});
    }
    std::unique_ptr<DaemonProcess> launchServing(std::vector<std::string> prefix = {}) const {
        return launch({"-o", "-p", locatorDirectory()}, prefix);
    }

    // The port once both locator files name `pid`.
    std::optional<int> waitForLocatorFiles(pid_t pid,
                                           std::chrono::milliseconds timeout = 30s) const {
        bool written = test::waitUntil(
            [&] {
                return fs::exists(portFile()) && test::readFile(pidFile()) == std::to_string(pid) &&
                       !test::readFile(portFile()).empty();
            },
            timeout);
        if (!written) return std::nullopt;
        return std::stoi(test::readFile(portFile()));
    }

  private:
    test::TempDir root_;
};

// Sends one request over loopback and returns the whole answer (read until the server closes
// or the deadline passes).
std::string exchange(int port, const std::string& request) {
    VTRFileDescriptor socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    struct sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return "";
    if (write(socket.get(), request.data(), request.size()) < 0) return "";
    struct timeval limit {
        5, 0
    };
    setsockopt(socket.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::string answer;
    char buffer[4096];
    for (;;) {
        ssize_t got = read(socket.get(), buffer, sizeof buffer);
        if (got <= 0) break;
        answer.append(buffer, static_cast<size_t>(got));
        if (answer.find("\r\n\r\n") != std::string::npos) break;
    }
    return answer;
}

TEST(DaemonProcess, HelpAnywherePrintsUsageAndTouchesNothing) {
    DaemonWorld world;
    auto daemon = world.launch({"-l", "bogus", "-h", "-p", world.locatorDirectory()});
    EXPECT_EQ(daemon->waitForExit(), 1);
    EXPECT_EQ(daemon->standardOutput(),
              "usage: vantrel-uploadd [options]\n"
              "  options:\n"
              "    -h Show usage help\n"
              "    -o Also send logging to STDOUT\n"
              "    -l Set minimum log info. One of [verbose|info|warn|error]\n");
    EXPECT_FALSE(fs::exists(world.storeDirectory()));
    EXPECT_EQ(daemon->terminalOutput(), "") << "not even the option parser's messages";
}

TEST(DaemonProcess, AMissingOrUnknownLevelEndsStartUpWithOne) {
    DaemonWorld world;
    auto missing = world.launch({"-o", "-p", world.locatorDirectory(), "-l"});
    auto unknown = world.launch({"-l", "Verbose", "-p", world.locatorDirectory()});
    EXPECT_EQ(missing->waitForExit(), 1);
    EXPECT_EQ(unknown->waitForExit(), 1);
    EXPECT_EQ(missing->terminalOutput(),
              "Specifying a log level with -l requires a subsequent argument of "
              "[verbose|info|warn|error|none]\n");
    EXPECT_EQ(unknown->terminalOutput(), "Unrecognized parameter to log level: Verbose\n");
    EXPECT_FALSE(fs::exists(world.storeDirectory()));
}

TEST(DaemonProcess, AFileWhereTheStoreDirectoryBelongsEndsStartUpWithOne) {
    DaemonWorld world;
    test::writeFile(world.storeDirectory(), "not a directory");
    auto daemon = world.launchServing();
    EXPECT_EQ(daemon->waitForExit(), 1);
    EXPECT_NE(daemon->terminalOutput().find(world.storeDirectory() + " should be a directory!\n"),
              std::string::npos)
        << daemon->terminalOutput();
    EXPECT_FALSE(fs::exists(world.portFile()));
}

TEST(DaemonProcess, ServesOnLoopbackAndEndsOnTermWithFifteen) {
    DaemonWorld world;
    auto daemon = world.launchServing();
    std::optional<int> port = world.waitForLocatorFiles(daemon->pid());
    ASSERT_TRUE(port.has_value()) << daemon->terminalOutput();
    EXPECT_GT(*port, 0);
    EXPECT_TRUE(fs::exists(world.storeDirectory() + "/UploadDaemon.sqlite"));
    EXPECT_NE(exchange(*port, "GET / HTTP/1.1\r\nHost: localhost\r\n\r\n"), "")
        << "the published port must answer";
    EXPECT_TRUE(daemon->waitForTerminalText("Setting log level to '(null)'"));

    kill(daemon->pid(), SIGTERM);
    EXPECT_EQ(daemon->waitForExit(), 15);
    EXPECT_NE(daemon->terminalOutput().find("SIGNAL RECEIVED: 15"), std::string::npos)
        << daemon->terminalOutput();
    EXPECT_FALSE(fs::exists(world.portFile()));
    EXPECT_FALSE(fs::exists(world.pidFile()));
}

TEST(DaemonProcess, ASecondDaemonStepsAsideForALiveOne) {
    DaemonWorld first;
    auto serving = first.launchServing();
    std::optional<int> port = first.waitForLocatorFiles(serving->pid());
    ASSERT_TRUE(port.has_value()) << serving->terminalOutput();

    DaemonWorld secondWorld;  // its own store, the first one's locator directory
    auto started = std::chrono::steady_clock::now();
    auto second = secondWorld.launch({"-o", "-p", first.locatorDirectory()});
    EXPECT_EQ(second->waitForExit(), 1);
    EXPECT_GE(std::chrono::steady_clock::now() - started, 3s) << "it waits before deciding";
    std::string output = second->terminalOutput();
    EXPECT_NE(output.find("An existing daemon is running on port " + std::to_string(*port)),
              std::string::npos)
        << output;
    EXPECT_TRUE(fs::exists(secondWorld.storeDirectory() + "/UploadDaemon.sqlite"))
        << "the store is opened before the check";
    EXPECT_EQ(output.find("Started HTTP server"), std::string::npos) << "it never listens";

    EXPECT_FALSE(serving->hasExited());
    EXPECT_EQ(first.waitForLocatorFiles(serving->pid(), 1s), port) << "the first keeps its files";
}

TEST(DaemonProcess, TermDuringTheCheckLeavesTheOtherDaemonsFiles) {
    DaemonWorld first;
    auto serving = first.launchServing();
    std::optional<int> port = first.waitForLocatorFiles(serving->pid());
    ASSERT_TRUE(port.has_value()) << serving->terminalOutput();

    DaemonWorld secondWorld;
    auto second = secondWorld.launch({"-o", "-p", first.locatorDirectory()});
    ASSERT_TRUE(second->waitForTerminalText("Found local upload daemon at port"));
    kill(second->pid(), SIGTERM);
    EXPECT_EQ(second->waitForExit(), 15);
    EXPECT_NE(second->terminalOutput().find("SIGNAL RECEIVED: 15"), std::string::npos);
    EXPECT_EQ(first.waitForLocatorFiles(serving->pid(), 1s), port);
}

TEST(DaemonProcess, StaleLocatorFilesOfAnEndedProcessDoNotBlock) {
    DaemonWorld world;
    pid_t ended = fork();
    if (ended == 0) _exit(0);
    waitpid(ended, nullptr, 0);
    test::writeFile(world.portFile(), "40000");
    test::writeFile(world.pidFile(), std::to_string(ended));

    auto daemon = world.launchServing();
    std::optional<int> port = world.waitForLocatorFiles(daemon->pid());
    ASSERT_TRUE(port.has_value()) << daemon->terminalOutput();
    EXPECT_NE(daemon->terminalOutput().find("Pid not running " + std::to_string(ended)),
              std::string::npos);
}

TEST(DaemonProcess, RestartRequestEndsWithZeroAndLeavesTheLocatorFiles) {
    DaemonWorld world;
    auto daemon = world.launchServing();
    std::optional<int> port = world.waitForLocatorFiles(daemon->pid());
    ASSERT_TRUE(port.has_value()) << daemon->terminalOutput();
    auto requested = std::chrono::steady_clock::now();
    std::string answer =
        exchange(*port, "POST /restart HTTP/1.1\r\nHost: localhost\r\nContent-Length: 0\r\n\r\n");
    EXPECT_TRUE(answer.starts_with("HTTP/1.1 200")) << answer;
    EXPECT_EQ(daemon->waitForExit(), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - requested, 900ms);
    EXPECT_TRUE(fs::exists(world.portFile()));
    EXPECT_TRUE(fs::exists(world.pidFile()));
}

bool canMakeNetworkNamespaces() {
    pid_t child = fork();
    if (child == 0) _exit(unshare(CLONE_NEWNET) == 0 ? 0 : 1);
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// In a network namespace without routes the daemon waits for a network before doing anything
// else; a default route lets it go on.
TEST(DaemonProcess, WaitsForANetworkBeforeStarting) {
    if (!canMakeNetworkNamespaces() || system("command -v ip nsenter unshare >/dev/null") != 0)
        GTEST_SKIP() << "needs network namespaces, ip, nsenter and unshare";
    DaemonWorld world;
    auto daemon = world.launchServing({"/usr/bin/unshare", "--net", "--"});
    // Give it time to get past help and into the wait; it must neither log, nor open the
    // store, nor publish anything while there is no network.
    EXPECT_FALSE(world.waitForLocatorFiles(daemon->pid(), 1500ms).has_value());
    EXPECT_FALSE(daemon->hasExited());
    EXPECT_FALSE(fs::exists(world.storeDirectory()));
    EXPECT_EQ(daemon->terminalOutput(), "");

    std::string addRoute = "nsenter -t " + std::to_string(daemon->pid()) +
                           " -n sh -c 'ip link set lo up && ip route add default dev lo'";
    ASSERT_EQ(system(addRoute.c_str()), 0);
    ASSERT_TRUE(world.waitForLocatorFiles(daemon->pid()).has_value()) << daemon->terminalOutput();
    EXPECT_NE(daemon->terminalOutput().find("Setting log level to '(null)'"), std::string::npos);
    kill(daemon->pid(), SIGTERM);
    EXPECT_EQ(daemon->waitForExit(), 15);
}

}  // namespace
}  // namespace vtr
