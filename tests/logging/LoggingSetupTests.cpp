// Logging set-up from the command line ("-l", "-o"), the terminal destination,
// and what hostile text in a message becomes on a terminal.
#include <poll.h>
#include <pty.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <sstream>

#include <gtest/gtest.h>

#include "logging/VTRFileDescriptor.h"
#include "logging/VTRLoggingSetup.h"
#include "logging/VTRSystemLogDestination.h"
#include "logging/VTRTerminalLogDestination.h"
#include "support/TestSupport.h"

namespace vtr {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

class LoggingSetup : public testing::Test {
  protected:
    void TearDown() override {
        VTRLog::flush();
        VTRLog::removeAllDestinations();
        ddLogLevel.store(15);
    }

    // The text of every log file written under the test's directory.
    std::string logFileText() {
        VTRLog::flush();
        return test::readFilesIn(logs_);
    }

    bool configure(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), "/usr/sbin/vantrel-uploadd");
        return configureLogging(arguments, {.directory = logs_});
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
        {{}, 15, "", {"Setting log level to '(null)'", "a verbose line"}, {}},
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
        EXPECT_EQ(configure(c.arguments), c.level.has_value());
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.refusal);
        EXPECT_EQ(ddLogLevel.load(), c.level.value_or(15));
        VTRLogInfo("an info line");
        VTRLogVerbose("a verbose line");
        VTRLogError("own error");
        VTR_HTTP_LOG_AT(VTRHTTPConnectionLogLevel, VTRLogFlagWarning, "server warning");
        VTR_HTTP_LOG_AT(VTRHTTPServerLogLevel, VTRLogFlagInfo, "server info");
        VTR_HTTP_LOG_AT(VTRHTTPServerLogLevel, VTRLogFlagVerbose, "server verbose");
        VTR_HTTP_LOG_AT(VTRHTTPConnectionLogLevel, VTRLogFlagInfo, "connection info");
        std::string text = logFileText();
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

}  // namespace
}  // namespace vtr
