// Whom the client trusts with its requests: locator files, a process and a listening socket
// made as other users, each of which must make it refuse before anything is sent.
#include <sys/fsuid.h>
#include <unistd.h>

#include <sstream>

#include <gtest/gtest.h>

#include "DaemonLocation.h"
#include "UploadCommands.h"
#include "support/ChildProcess.h"
#include "support/OtherUser.h"
#include "support/TestSupport.h"

using namespace vtr::cli;

namespace {

// A process running as `uid`: started by setpriv, ready once it says so as that user.
std::unique_ptr<vtr::test::ChildProcess> processAsUser(uid_t uid) {
    const std::string id = std::to_string(uid);
    auto process = std::make_unique<vtr::test::ChildProcess>(std::vector<std::string>{
        "setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups", "sh", "-c",
        "echo ready; exec sleep 600"});
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
