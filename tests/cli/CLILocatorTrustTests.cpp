// The locator files as the client reads them: their number format, stale and hostile files
// under their names, and whom the client trusts with its requests (locator files, a process
// and a listening socket made as other users, each of which must make it refuse before
// anything is sent).
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <sstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "DaemonLocation.h"
#include "UploadCommands.h"
#include "support/ChildProcess.h"
#include "support/OtherUser.h"
#include "support/TestSupport.h"

using namespace vtr::cli;
using testing::HasSubstr;

namespace {

// A process running as `uid`: started by setpriv, ready once it says so as that user.
std::unique_ptr<vtr::test::ChildProcess> processAsUser(uid_t uid) {
    const std::string id = std::to_string(uid);
    auto process = std::make_unique<vtr::test::ChildProcess>(
        std::vector<std::string>{"setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups",
                                 "sh", "-c", "echo ready; exec sleep 600"});
    EXPECT_TRUE(process->waitForOutput("ready"));
    return process;
}

// A socket listening on 127.0.0.1 that the kernel lists as `uid`'s: a socket belongs to the
// file-system user of the thread that makes it.
struct ListenerAsUser {
    explicit ListenerAsUser(uid_t uid) {
        auto own = static_cast<uid_t>(::setfsuid(uid));
        fd = vtr::test::listenOnLoopback(&port);
        ::setfsuid(own);
        EXPECT_GE(fd, 0);
    }
    ~ListenerAsUser() { ::close(fd); }
    int fd = -1;
    uint16_t port = 0;
};

TEST(LocatorTrustTest, FilesProcessOrListenerOfAnotherUserAreRefused) {
    std::string why;
    std::optional<vtr::test::OtherUser> nobody = vtr::test::nobodyUser(&why);
    if (!nobody) GTEST_SKIP() << why;
    // The client's user needs no account: only its number is compared. The other one is nobody.
    const uid_t client = nobody->uid - 1, stranger = nobody->uid;
    auto clientsProcess = processAsUser(client), strangersProcess = processAsUser(stranger);
    ListenerAsUser clientsListener(client), strangersListener(stranger);
    const std::string s = std::to_string(stranger), c = std::to_string(client);
    struct Case {
        const char* what;
        uid_t clientUser, portFileOwner;
        const vtr::test::ChildProcess& process;
        const ListenerAsUser& listener;
        std::string problem;  // empty: trusted
    };
    std::vector<Case> cases = {
        {"all the client's", client, client, *clientsProcess, clientsListener, ""},
        {"files of root", client, 0, *clientsProcess, clientsListener, ""},
        {"a stranger's file", client, stranger, *clientsProcess, clientsListener,
         "UploadDaemon.port belongs to user " + s + ", neither to you nor to root"},
        {"a stranger's process", client, client, *strangersProcess, strangersListener,
         "runs as user " + s + ", not as you (" + c + ")"},
        {"a stranger's listener", client, client, *clientsProcess, strangersListener,
         "belongs to user " + s + ", not " + c},
        // Root may use any user's daemon, as long as the listener is that user's too.
        {"root's client, a stranger's daemon", 0, 0, *strangersProcess, strangersListener, ""},
        {"root's client, a stranger's listener", 0, 0, *clientsProcess, strangersListener,
         "belongs to user " + s + ", not " + c},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
        vtr::test::TempDir dir;
        vtr::test::writeFile(dir.file("UploadDaemon.port"), std::to_string(test.listener.port));
        vtr::test::writeFile(dir.file("UploadDaemon.pid"), std::to_string(test.process.pid()));
        ASSERT_EQ(::chown(dir.file("UploadDaemon.port").c_str(), test.portFileOwner, 0), 0);
        DaemonSearch search = locateDaemon(dir.path(), test.clientUser);
        EXPECT_EQ(search.location.has_value(), test.problem.empty()) << search.problem;
        EXPECT_EQ(search.untrusted, !test.problem.empty());
        EXPECT_NE(search.problem.find(test.problem), std::string::npos) << search.problem;
        if (search.location) {
            EXPECT_EQ(search.location->port, test.listener.port);
        }
    }
    // The command refuses with status 3 and says why.
    vtr::test::TempDir dir;
    vtr::test::writeFile(dir.file("UploadDaemon.port"), std::to_string(clientsListener.port));
    vtr::test::writeFile(dir.file("UploadDaemon.pid"), std::to_string(clientsProcess->pid()));
    ASSERT_EQ(::chown(dir.file("UploadDaemon.pid").c_str(), stranger, 0), 0);
    std::ostringstream out, err;
    EXPECT_EQ(UploadCommands(dir.path(), out, err).list(false), 3);
    EXPECT_EQ(err.str(),
              "vantrel-upload: refusing to talk to the upload daemon the locator files name: " +
                  dir.file("UploadDaemon.pid") + " belongs to user " + s +
                  ", neither to you nor to root\n");
}

}  // namespace

TEST(LocatorNumberTest, AcceptsOnlyPlainDecimalDigits) {
    EXPECT_EQ(parseLocatorNumber("52110"), 52110);
    EXPECT_EQ(parseLocatorNumber("0"), 0);
    for (std::string text : {"", "abc", "-1", "+5", " 5", "5\n", "12x", "1234567890123456789"})
        EXPECT_FALSE(parseLocatorNumber(text).has_value()) << text;
}

// A daemon that ended leaves its files behind, and whoever can write to the locator directory
// may put anything under the port file's name. Each lookup runs in a child process that an alarm
// ends should it block or keep reading.
TEST(LocateDaemonTest, StaleOrHostileLocatorFilesReadAsNoDaemonPromptly) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    namespace fs = std::filesystem;
    auto holding = [](std::string text) {
        return [text](const std::string& p) { vtr::test::writeFile(p, text); };
    };
    const std::string unusable = "no usable locator file /.*/UploadDaemon.port";
    struct Case {
        const char* what;
        std::function<void(const std::string&)> plant;
        pid_t pid;
        std::string message;
    };
    std::vector<Case> cases = {
        {"FIFO", [](const std::string& p) { ASSERT_EQ(mkfifo(p.c_str(), 0644), 0); }, getpid(),
         unusable},
        {"link to /dev/zero",
         [](const std::string& p) { ASSERT_EQ(symlink("/dev/zero", p.c_str()), 0); }, getpid(),
         unusable},
        {"directory", [](const std::string& p) { fs::create_directory(p); }, getpid(), unusable},
        {"65 digits", holding(std::string(65, '7')), getpid(), unusable},
        {"ended process", holding("52110"), vtr::test::endedProcessID(), "has ended"},
        {"no number", holding("abc"), getpid(), "does not hold a port number"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        vtr::test::TempDir dir;
        c.plant(dir.file("UploadDaemon.port"));
        vtr::test::writeFile(dir.file("UploadDaemon.pid"), std::to_string(c.pid));
        EXPECT_EXIT(
            {
                alarm(5);
                DaemonSearch search = locateDaemon(dir.path(), geteuid());
                bool found = search.location.has_value();
                std::fputs(search.problem.c_str(), stderr);
                _exit(found ? 1 : 0);
            },
            // The child runs the test again from the start, in a directory of its own.
            testing::ExitedWithCode(0), c.message);
    }
    // Files that name a live process, but a port where nothing listens.
    vtr::test::TempDir dir;
    vtr::test::writeFile(dir.file("UploadDaemon.port"),
                         std::to_string(vtr::test::unusedLoopbackPort()));
    vtr::test::writeFile(dir.file("UploadDaemon.pid"), std::to_string(getpid()));
    std::ostringstream out, err;
    EXPECT_EQ(UploadCommands(dir.path(), out, err).show("job", false), 3);
    EXPECT_THAT(err.str(), HasSubstr("not running (nothing listens at 127.0.0.1:"));
}
