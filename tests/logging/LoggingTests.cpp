// Logging: the rotating log files (line format, rolling by size and age, continuing across
// restarts but never a file planted by another user, keeping five archived files, a log
// directory that cannot be made); then the set-up from the command line ("-l", "-o"), the
// journal and the terminal, and what hostile text in a message becomes on a terminal; last the
// facade: when callers wait, delivery order, destinations that misbehave, logging at exit.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "logging/VTRFileDescriptor.h"
#include "logging/VTRFileLogDestination.h"
#include "logging/VTRLoggingSetup.h"
#include "logging/VTRSystemLogDestination.h"
#include "logging/VTRTerminalLogDestination.h"
#include "support/OtherUser.h"
#include "support/TestSupport.h"

namespace vtr {
namespace {

namespace fs = std::filesystem;
using test::TempDir;
using namespace std::chrono_literals;

VTRLogMessage messageWithText(std::string text) {
    VTRLogMessage message;
    message.text = std::move(text);
    message.timestamp = std::chrono::system_clock::now();
    message.level = 15;
    message.flag = VTRLogFlagInfo;
    return message;
}

// File creation times come from the file system's coarse clock; files made within one tick
// share a time and cannot be ordered. Waits (with a deadline) until a new file would get a
// later time than `path`.
void waitForFileClockToPass(const std::string& path, const std::string& probeDirectory) {
    auto created = [](const std::string& p) {
        struct statx stx {};
        statx(AT_FDCWD, p.c_str(), 0, STATX_BTIME, &stx);
        return std::pair(stx.stx_btime.tv_sec, stx.stx_btime.tv_nsec);
    };
    auto before = created(path);
    std::string probe = probeDirectory + "/probe";
    ASSERT_TRUE(test::waitUntil([&] {
        fs::remove(probe);
        test::writeFile(probe, "");
        return created(probe) > before;
    }));
    fs::remove(probe);
}

TEST(FileLogDestination, WritesTimestampedLinesAndRollsOnceTheSizeLimitOrTheAgeIsReached) {
    TempDir dir;
    VTRFileLogDestination destination(
        {.directory = dir.file("logs/nested"), .maximumFileSize = 100});
    destination.logMessage(messageWithText("first message"));  // 39 bytes with the stamp
    destination.logMessage(messageWithText("already ends in a line feed\n"));
    std::string first = destination.currentFilePath();
    ASSERT_FALSE(first.empty());
    std::string name = fs::path(first).filename().string();
    EXPECT_TRUE(std::regex_match(name, std::regex("log-[0-9A-F]{6}\\.txt"))) << name;
    EXPECT_EQ(fs::path(first).parent_path(), fs::path(dir.file("logs/nested")));
    struct stat info {};
    ASSERT_EQ(stat(first.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
    EXPECT_FALSE(isLogFileArchived(first));

    destination.logMessage(messageWithText(std::string(40, 'b')));  // crosses 100
    EXPECT_TRUE(destination.currentFilePath().empty()) << "a full file is closed at once";
    EXPECT_TRUE(isLogFileArchived(first));
    destination.logMessage(messageWithText("next"));
    std::string second = destination.currentFilePath();
    ASSERT_FALSE(second.empty());
    EXPECT_NE(second, first);
    EXPECT_NE(test::readFile(second).find("  next\n"), std::string::npos);
    // The whole of the first file: nothing after the line that filled it.
    std::string stamp = "\\d{4}/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d:\\d{3}  ";
    std::string contents = test::readFile(first);
    EXPECT_TRUE(std::regex_match(
        contents, std::regex(stamp + "first message\n" + stamp + "already ends in a line feed\n" +
                             stamp + std::string(40, 'b') + "\n")))
        << contents;

    // A file that has reached its age rolls with the next line.
    VTRFileLogDestination byAge({.directory = dir.file("age"), .rollingFrequency = 0s});
    byAge.logMessage(messageWithText("one"));
    std::string aged = byAge.currentFilePath();
    byAge.logMessage(messageWithText("two"));
    EXPECT_NE(byAge.currentFilePath(), aged);
    EXPECT_TRUE(isLogFileArchived(aged));
}

// Five archived files are kept besides the one being written, which is neither deleted nor
// counted, not even when it is archived as soon as it is written; the oldest go with each roll.
TEST(FileLogDestination, KeepsTheNewestFiveArchivedFilesBesidesTheOneBeingWritten) {
    TempDir dir;
    TempDir probes;
    auto old = [&](int n) { return dir.file(fmt::format("log-00000{}.txt", n)); };
    std::string last;
    for (int i = 0; i < 7; ++i) {  // seven archived files from earlier runs
        if (!last.empty()) waitForFileClockToPass(last, probes.path());
        last = old(i);
        test::writeFile(last, "old\n");
        markLogFileArchived(last);
    }
    // Every line fills its file, so each message makes and archives one file.
    VTRFileLogDestination destination({.directory = dir.path(), .maximumFileSize = 1});
    std::vector<std::string> made;
    for (int i = 1; i <= 2; ++i) {
        SCOPED_TRACE(i);
        waitForFileClockToPass(last, probes.path());
        destination.logMessage(messageWithText("message " + std::to_string(i)));
        last = sortedLogFiles(dir.path()).front().path;
        made.push_back(last);
        EXPECT_EQ(sortedLogFiles(dir.path()).size(), 6u);
        EXPECT_FALSE(fs::exists(old(i)));
        EXPECT_TRUE(fs::exists(old(i + 1)));
        for (const std::string& path : made) EXPECT_TRUE(isLogFileArchived(path)) << path;
    }
    EXPECT_NE(made[0], made[1]);
}

// The newest file is continued across a restart unless it is archived, full or too old.
TEST(FileLogDestination, ContinuesTheNewestFileOnlyWhenItCanBe) {
    struct Case {
        const char* why;
        std::function<void(const std::string&)> spoil;
        VTRFileLogSettings settings;
        bool continued;
    };
    std::vector<Case> cases = {
        {"usable", [](const std::string&) {}, {}, true},
        {"archived", [](const std::string& p) { markLogFileArchived(p); }, {}, false},
        {"full",
         [](const std::string& p) { test::writeFile(p, std::string(200, 'x')); },
         {.maximumFileSize = 100},
         false},
        {"too old", [](const std::string&) {}, {.rollingFrequency = 0s}, false},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.why);
        TempDir dir;
        std::string old = dir.file("log-ABC123.txt");
        test::writeFile(old, "2026/12/06 10:00:00:000  before restart\n");
        c.spoil(old);
        c.settings.directory = dir.path();
        VTRFileLogDestination destination(c.settings);
        destination.logMessage(messageWithText("new"));
        EXPECT_EQ(destination.currentFilePath() == old, c.continued);
        EXPECT_EQ(isLogFileArchived(old), !c.continued);
        EXPECT_EQ(test::readFile(old).find("  new\n") != std::string::npos, c.continued);
        EXPECT_EQ(sortedLogFiles(dir.path()).size(), c.continued ? 1u : 2u);
    }
}

// Another user of a shared log directory plants the newest "log file" before the daemon
// starts, hoping to read its lines or to have them appended to a file of the daemon's user.
TEST(FileLogDestination, NeverContinuesAFilePlantedByAnotherUser) {
    std::string why;
    std::optional<test::OtherUser> nobody = test::nobodyUser(&why);
    if (!nobody) GTEST_SKIP() << why;
    struct Case {
        const char* what;
        // Plants `planted`; `victim` is a file of the daemon's user holding "precious".
        std::function<void(const std::string& planted, const std::string& victim)> plant;
    };
    std::vector<Case> cases = {
        {"an empty file open to all, owned by another user",
         [&](const std::string& planted, const std::string&) {
             test::writeFile(planted, "");
             ASSERT_EQ(chmod(planted.c_str(), 0666), 0);
             ASSERT_EQ(chown(planted.c_str(), nobody->uid, nobody->gid), 0);
         }},
        {"another user's symbolic link to a file of ours",
         [&](const std::string& planted, const std::string& victim) {
             ASSERT_EQ(symlink(victim.c_str(), planted.c_str()), 0);
             ASSERT_EQ(lchown(planted.c_str(), nobody->uid, nobody->gid), 0);
         }},
        {"a second hard link to a file of ours",
         [&](const std::string& planted, const std::string& victim) {
             ASSERT_EQ(link(victim.c_str(), planted.c_str()), 0);
         }},
        {"another user's FIFO",
         [&](const std::string& planted, const std::string&) {
             ASSERT_EQ(mkfifo(planted.c_str(), 0666), 0);
             ASSERT_EQ(chown(planted.c_str(), nobody->uid, nobody->gid), 0);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        std::string logs = dir.file("logs");
        fs::create_directories(logs);
        std::string victim = dir.file("victim");
        test::writeFile(victim, "precious");
        std::string planted = logs + "/log-ABC123.txt";
        c.plant(planted, victim);
        struct stat before {};
        ASSERT_EQ(lstat(planted.c_str(), &before), 0);

        VTRFileLogDestination destination({.directory = logs});
        destination.logMessage(messageWithText("secret line"));

        EXPECT_NE(destination.currentFilePath(), planted);
        EXPECT_NE(test::readFile(destination.currentFilePath()).find("  secret line\n"),
                  std::string::npos);
        EXPECT_EQ(test::readFile(victim), "precious");
        struct stat after {};
        ASSERT_EQ(lstat(planted.c_str(), &after), 0) << "left where it was";
        EXPECT_EQ(after.st_mode, before.st_mode);
        EXPECT_EQ(after.st_size, before.st_size);
    }
}

TEST(FileLogDestination, ReportsAnUncreatableDirectoryOnceAndWritesNothing) {
    TempDir dir;
    test::writeFile(dir.file("blocker"), "a file, not a directory");
    VTRFileLogDestination destination({.directory = dir.file("blocker/logs")});
    testing::internal::CaptureStderr();
    destination.logMessage(messageWithText("lost"));
    destination.logMessage(messageWithText("lost too"));
    std::string console = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(destination.currentFilePath().empty());
    std::string prefix = "DDFileLogManagerDefault: Error creating logsDirectory: ";
    size_t first = console.find(prefix);
    EXPECT_NE(first, std::string::npos) << console;
    EXPECT_EQ(console.find(prefix, first + 1), std::string::npos) << "reported once";
}

// Log files are "log-" and six upper-case hex digits; the archived mark is an attribute, or the
// fallback name where the file system keeps none.
TEST(LogFileNames, RecognisedByNameAndArchivedByAttributeOrName) {
    for (const char* name : {"log-0A1B2C.txt", "log-FFFFFF", "log-ABCDEF.archived.txt"})
        EXPECT_TRUE(isLogFileName(name)) << name;
    for (const char* name :
         {"log-abcdef.txt", "log-ABCDE", "log-ABCDEG.txt", "Log-ABCDEF.txt", "xlog-ABCDEF.txt"})
        EXPECT_FALSE(isLogFileName(name)) << name;
    TempDir dir;
    std::string path = dir.file("log-123456.txt");
    test::writeFile(path, "");
    EXPECT_FALSE(isLogFileArchived(path));
    EXPECT_TRUE(isLogFileArchived(markLogFileArchived(path)));
    test::writeFile(dir.file("log-654321.archived.txt"), "");
    EXPECT_TRUE(isLogFileArchived(dir.file("log-654321.archived.txt")));
}

// ---- set-up and the terminal

class LoggingSetup : public testing::Test {
  protected:
    void TearDown() override {
        VTRLog::flush();
        VTRLog::removeAllDestinations();
        ddLogLevel.store(15);
    }

    TempDir dir_;
    std::string logs_ = dir_.file("logs");
};

// The first "-l" counts. A missing or unknown level is refused on standard error and attaches
// nothing; otherwise the level is announced in the log file, unless it is "none", which
// silences the daemon's own messages but not the embedded server's.
TEST_F(LoggingSetup, SetsAndAnnouncesTheLevelOrRefusesIt) {
    struct Case {
        std::vector<std::string> arguments;
        std::optional<uint32_t> level;  // nothing: refused
        std::string refusal;
        std::vector<std::string> present, absent;
    };
    std::vector<Case> cases = {
        {{"-l", "info", "-l", "error"},
         7,
         "",
         {"Setting log level to 'info'", "an info line", "own error", "server warning"},
         {"a verbose line"}},
        // The embedded server's messages have levels of their own, which the word does not set.
        {{"-l", "none"},
         0,
         "",
         {"server warning", "server info"},
         {"Setting log level", "own error", "an info", "server verbose", "connection info"}},
        {{"-o", "-l"},
         std::nullopt,
         "Specifying a log level with -l requires a subsequent argument of "
         "[verbose|info|warn|error|none]\n",
         {},
         {}},
        {{"-l", "Verbose", "-l", "info"},
         std::nullopt,
         "Unrecognized parameter to log level: Verbose\n",
         {},
         {}},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(i);
        logs_ = dir_.file("logs-" + std::to_string(i));
        testing::internal::CaptureStderr();
        std::vector<std::string> arguments{"/usr/sbin/vantrel-uploadd"};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        EXPECT_EQ(configureLogging(arguments, {.directory = logs_}), c.level.has_value());
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.refusal);
        EXPECT_EQ(ddLogLevel.load(), c.level.value_or(15));
        VTRLogInfo("an info line");
        VTRLogVerbose("a verbose line");
        VTRLogError("own error");
        VTR_HTTP_LOG_AT(VTRHTTPConnectionLogLevel, VTRLogFlagWarning, "server warning");
        VTR_HTTP_LOG_AT(VTRHTTPServerLogLevel, VTRLogFlagInfo, "server info");
        VTR_HTTP_LOG_AT(VTRHTTPServerLogLevel, VTRLogFlagVerbose, "server verbose");
        VTR_HTTP_LOG_AT(VTRHTTPConnectionLogLevel, VTRLogFlagInfo, "connection info");
        VTRLog::flush();
        std::string text = test::readFilesIn(logs_);
        EXPECT_EQ(fs::exists(logs_), c.level.has_value()) << "a file destination is attached";
        for (const std::string& line : c.present)
            EXPECT_NE(text.find("  " + line + "\n"), std::string::npos) << line << " in:\n" << text;
        for (const std::string& line : c.absent) EXPECT_EQ(text.find(line), std::string::npos);
        TearDown();
    }
}

// Standard error is the journal's stream when JOURNAL_STREAM names its device and inode. Then
// every line carries the journal priority of its severity and the system log is left out, "-o"
// or not, so a message reaches the journal once. Otherwise JOURNAL_STREAM changes nothing.
TEST_F(LoggingSetup, WritesJournalLinesAndNoSystemLogWhenStandardErrorIsTheJournal) {
    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, ends), 0);
    VTRFileDescriptor journal(ends[0]), standardError(ends[1]);
    struct stat status {};
    ASSERT_EQ(fstat(standardError.get(), &status), 0);
    std::string device = std::to_string(status.st_dev) + ":";
    struct Case {
        std::string option, journalStream;
        bool isJournal;
    };
    std::vector<Case> cases = {
        {"", device + std::to_string(status.st_ino), true},
        {"-o", device + std::to_string(status.st_ino), true},
        {"-o", device + std::to_string(status.st_ino + 1), false},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(i);
        int systemLogs = 0;
        VTRLogOutputs outputs{.standardError = standardError.get(),
                              .journalStream = c.journalStream,
                              .makeSystemLog = [&] {
                                  ++systemLogs;
                                  return std::make_shared<VTRSystemLogDestination>();
                              }};
        ASSERT_TRUE(configureLogging({"vantrel-uploadd", c.option}, {.directory = logs_}, outputs));
        VTRLogError("own error");
        VTRLogWarn("a warning");
        VTRLogInfo("an info line");
        VTRLogVerbose("a verbose line");
        VTRLog::flush();
        std::string received;
        char buffer[4096];
        for (ssize_t got; (got = read(journal.get(), buffer, sizeof buffer)) > 0;)
            received.append(buffer, static_cast<size_t>(got));
        // A socket is no terminal: outside the journal, "-o" writes nothing to it.
        EXPECT_EQ(received, c.isJournal ? "<3>Setting log level to '(null)'\n<3>own error\n<4>a "
                                          "warning\n<6>an info line\n<7>a verbose line\n"
                                        : "");
        EXPECT_EQ(systemLogs, c.isJournal ? 0 : 1);
        TearDown();
    }
}

// The console log carries what the option parser and the API's body parser quote: one line on
// standard error, made safe as every other message is, with the notice priority when standard
// error is the journal.
TEST(ConsoleLog, WritesOneEscapedLineWithoutURLPasswordsAndAPriorityForTheJournal) {
    testing::internal::CaptureStderr();
    struct stat status {};
    ASSERT_EQ(fstat(STDERR_FILENO, &status), 0);
    setenv("JOURNAL_STREAM", fmt::format("{}:{}", status.st_dev, status.st_ino).c_str(), 1);
    VTRConsoleLog("Found local upload daemon at port {}", 52110);
    unsetenv("JOURNAL_STREAM");
    VTRConsoleLog("Unable to parse {}", "x\n\x1b[2J https://u:hunter2@h/a");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "<5>Found local upload daemon at port 52110\n"
              "Unable to parse x\\n\\x1b[2J https://h/a\n");
}

// Whatever a message quotes, a terminal shows it as one escaped line without URL passwords,
// after the time, the process and its thread. (The escaping itself: the printable-text tests.)
TEST_F(LoggingSetup, HostileTextArrivesAsOneEscapedLinePerMessage) {
    int master = -1, terminal = -1;
    ASSERT_EQ(openpty(&master, &terminal, nullptr, nullptr, nullptr), 0);
    VTRFileDescriptor ownMaster(master), ownTerminal(terminal);
    VTRLog::addDestination(
        std::make_shared<VTRTerminalLogDestination>(terminal, "vantrel-uploadd"));
    VTRLogInfo("quoted [{}]",
               "a\n2026/12/06 10:00:00:000  forged\x1b]0;t\x07 https://u:hunter2@h/");
    VTRLogInfo("next");
    VTRLog::flush();
    std::string received;
    char buffer[4096];
    pollfd ready{master, POLLIN, 0};
    while (std::ranges::count(received, '\n') < 2 && poll(&ready, 1, 10000) == 1) {
        ssize_t got = read(master, buffer, sizeof buffer);
        if (got <= 0) break;
        received.append(buffer, static_cast<size_t>(got));
    }
    std::istringstream lines(received);
    std::string first, second;
    ASSERT_TRUE(std::getline(lines, first) && std::getline(lines, second)) << received;
    // The terminal turns the line feed into CR LF.
    std::regex format("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d:\\d{3} vantrel-uploadd\\[" +
                      std::to_string(getpid()) + ":[0-9a-f]+\\] .*\r");
    EXPECT_TRUE(std::regex_match(first, format)) << first;
    EXPECT_TRUE(first.ends_with(
        "] quoted [a\\n2026/12/06 10:00:00:000  forged\\x1b]0;t\\x07 https://h/]\r"))
        << first;
    EXPECT_TRUE(second.ends_with("] next\r")) << second;
    EXPECT_FALSE(std::getline(lines, second)) << "no more lines than messages";
}

// ---- the facade (at the default level, verbose, which every test above restores)

// Holds every message until the test opens the gate; records them in order.
class GatedDestination : public VTRLogDestination {
  public:
    void logMessage(const VTRLogMessage& message) override {
        std::unique_lock lock(mutex_);
        ++arrived_;
        changed_.wait(lock, [&] { return open_; });
        texts_.push_back(message.text);
    }
    void open() {
        std::lock_guard lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }
    int arrived() {
        std::lock_guard lock(mutex_);
        return arrived_;
    }
    std::vector<std::string> texts() {
        std::lock_guard lock(mutex_);
        return texts_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
    int arrived_ = 0;
    std::vector<std::string> texts_;
};

// Attaches a destination for one test and detaches it, opened, at the end.
struct AttachedGate {
    std::shared_ptr<GatedDestination> destination = std::make_shared<GatedDestination>();
    AttachedGate() { VTRLog::addDestination(destination); }
    ~AttachedGate() {
        destination->open();
        VTRLog::flush();
        VTRLog::removeDestination(destination);
    }
};

TEST(VTRLogFacade, CallsReturnAtOnceUntilAThousandArePendingAndAnErrorWaitsForDelivery) {
    AttachedGate gate;    // closed: nothing can be delivered
    VTRLogWarn("first");  // taken by the consumer, which then blocks in the destination
    VTRLogInfo("second");
    VTRLogVerbose("third");
    // All three calls returned although none has been delivered.
    ASSERT_TRUE(test::waitUntil([&] { return gate.destination->arrived() == 1; }));
    EXPECT_TRUE(gate.destination->texts().empty());
    EXPECT_EQ(VTRLog::pendingMessageCount(), 2u);

    std::atomic<int> returned{0};
    std::thread producer([&] {
        for (int i = 0; i < 999; ++i) {
            VTRLogInfo("m{}", i);
            ++returned;
        }
    });
    // The call that would make the 1001st pending message waits; the ones before returned.
    EXPECT_TRUE(test::waitUntil([&] { return VTRLog::waitingCallerCount() == 1; }));
    EXPECT_EQ(VTRLog::pendingMessageCount(), 1000u);
    EXPECT_EQ(returned.load(), 998);
    gate.destination->open();
    producer.join();
    EXPECT_EQ(VTRLog::waitingCallerCount(), 0u);
    VTRLogError("error {}", "now");
    // No flush: the error itself is delivered before the call returns, after all issued before.
    auto texts = gate.destination->texts();
    ASSERT_EQ(texts.size(), 1003u);
    EXPECT_EQ(std::vector<std::string>(texts.begin(), texts.begin() + 3),
              (std::vector<std::string>{"first", "second", "third"}));
    for (int i = 0; i < 999; ++i) ASSERT_EQ(texts[3 + i], fmt::format("m{}", i));
    EXPECT_EQ(texts[1002], "error now");
}

// Throws on every message, or logs through the facade from inside the delivery.
class MisbehavingDestination : public VTRLogDestination {
  public:
    explicit MisbehavingDestination(bool throws) : throws_(throws) {}
    void logMessage(const VTRLogMessage& message) override {
        if (throws_) throw std::runtime_error("disk full");
        if (message.text == "trigger") VTRLogError("logged from a destination");
    }

  private:
    bool throws_;
};

// Messages reach the destinations attached at the time; one that throws or that logs from inside
// its delivery stops nothing.
TEST(VTRLogFacade, MessagesReachTheDestinationsAttachedAtTheTimeWhateverTheyDo) {
    VTRLogError("nobody hears this");  // must not block either
    auto kept = std::make_shared<test::CapturingLogDestination>();
    auto removed = std::make_shared<test::CapturingLogDestination>();
    std::vector<std::shared_ptr<VTRLogDestination>> destinations = {
        std::make_shared<MisbehavingDestination>(true),
        std::make_shared<MisbehavingDestination>(false), kept, removed};
    for (const auto& destination : destinations) VTRLog::addDestination(destination);
    VTRLogError("trigger");  // returns although one destination threw and another logs
    // The nested message was issued while "trigger" was being delivered, so before "both".
    VTRLogError("both");
    VTRLog::removeDestination(removed);
    VTRLogError("kept only");
    EXPECT_EQ(kept->texts(), (std::vector<std::string>{"trigger", "logged from a destination",
                                                       "both", "kept only"}));
    EXPECT_EQ(removed->texts(),
              (std::vector<std::string>{"trigger", "logged from a destination", "both"}));
    VTRLog::removeAllDestinations();
    VTRLogError("nobody");
    EXPECT_EQ(kept->texts().size(), 4u);
}

// Writes each message to standard error, for the exit test below.
class StderrDestination : public VTRLogDestination {
  public:
    void logMessage(const VTRLogMessage& message) override {
        std::string line = message.text + "\n";
        [[maybe_unused]] auto written = ::write(STDERR_FILENO, line.data(), line.size());
    }
};

struct LogsWhenDestroyed {
    ~LogsWhenDestroyed() { VTRLogError("logged during static destruction"); }
};

TEST(VTRLogFacadeDeathTest, LoggingDuringProcessExitCompletesWithoutHanging) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            VTRLog::addDestination(std::make_shared<StderrDestination>());
            static LogsWhenDestroyed logsAtExit;
            VTRLogWarn("pending at exit");
            std::exit(0);
        },
        testing::ExitedWithCode(0), "logged during static destruction");
}

}  // namespace
}  // namespace vtr
