// Logging set-up from the command line ("-l", "-o") and the terminal and system-log
// destinations.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <syslog.h>
#include <unistd.h>

#include <filesystem>
#include <regex>

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

TEST(LogLevelWords, MapToTheirLevelWordsCaseSensitively) {
    EXPECT_EQ(logLevelForWord("verbose"), 15u);
    EXPECT_EQ(logLevelForWord("info"), 7u);
    EXPECT_EQ(logLevelForWord("warn"), 3u);
    EXPECT_EQ(logLevelForWord("error"), 1u);
    EXPECT_EQ(logLevelForWord("none"), 0u);
    EXPECT_EQ(logLevelForWord("Verbose"), std::nullopt);
    EXPECT_EQ(logLevelForWord("warning"), std::nullopt);
    EXPECT_EQ(logLevelForWord(""), std::nullopt);
}

TEST_F(LoggingSetup, RejectsAMissingOrUnknownLevelWithoutAttachingAnything) {
    struct Case {
        std::vector<std::string> arguments;
        std::string message;
    };
    std::vector<Case> cases = {
        {{"-o", "-l"},
         "Specifying a log level with -l requires a subsequent argument of "
         "[verbose|info|warn|error|none]\n"},
        {{"-l", "Verbose", "-l", "info"}, "Unrecognized parameter to log level: Verbose\n"},
    };
    for (const auto& c : cases) {
        testing::internal::CaptureStderr();
        EXPECT_FALSE(configure(c.arguments));
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.message);
        EXPECT_EQ(ddLogLevel.load(), 15u);
        VTRLogError("must reach no destination");
        EXPECT_FALSE(fs::exists(logs_)) << "the file destination must not have been attached";
    }
}

TEST_F(LoggingSetup, SetsTheLevelAndAnnouncesItInTheLogFile) {
    ASSERT_TRUE(configure({"-l", "info", "-l", "error"}));  // the first occurrence counts
    EXPECT_EQ(ddLogLevel.load(), 7u);
    VTRLogInfo("an info line");
    VTRLogVerbose("a verbose line");
    std::string text = logFileText();
    EXPECT_NE(text.find("  Setting log level to 'info'\n"), std::string::npos) << text;
    EXPECT_NE(text.find("  an info line\n"), std::string::npos);
    EXPECT_EQ(text.find("a verbose line"), std::string::npos);
}

TEST_F(LoggingSetup, WithoutALevelKeepsVerboseAndAnnouncesNull) {
    ASSERT_TRUE(configure({}));
    EXPECT_EQ(ddLogLevel.load(), 15u);
    VTRLogVerbose("a verbose line");
    std::string text = logFileText();
    EXPECT_NE(text.find("  Setting log level to '(null)'\n"), std::string::npos) << text;
    EXPECT_NE(text.find("  a verbose line\n"), std::string::npos);
}

TEST_F(LoggingSetup, NoneSilencesOwnMessagesButNotTheEmbeddedServers) {
    ASSERT_TRUE(configure({"-l", "none"}));
    EXPECT_EQ(ddLogLevel.load(), 0u);
    VTRLogError("own error");
    VTR_HTTP_LOG_AT(VTRHTTPConnectionLogLevel, VTRLogFlagWarning, "server warning");
    std::string text = logFileText();
    EXPECT_EQ(text.find("Setting log level"), std::string::npos);
    EXPECT_EQ(text.find("own error"), std::string::npos);
    EXPECT_NE(text.find("  server warning\n"), std::string::npos) << text;
}

TEST(TerminalLogDestination, WritesItsLineFormatToATerminal) {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    VTRFileDescriptor masterFile(master);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    VTRFileDescriptor terminal(open(ptsname(master), O_RDWR | O_NOCTTY));
    ASSERT_TRUE(terminal.valid());

    VTRTerminalLogDestination destination(terminal.get(), "vantrel-uploadd");
    ASSERT_TRUE(destination.isWriting());
    VTRLogMessage message;
    message.text = "hello terminal";
    message.timestamp = std::chrono::system_clock::now();
    message.threadID = 0x1a2b;
    destination.logMessage(message);

    std::string received;
    ASSERT_TRUE(test::waitUntil([&] {
        struct pollfd ready {
            master, POLLIN, 0
        };
        if (poll(&ready, 1, 0) == 1) {
            char buffer[512];
            ssize_t got = read(master, buffer, sizeof buffer);
            if (got > 0) received.append(buffer, static_cast<size_t>(got));
        }
        return received.find('\n') != std::string::npos;
    }));
    // The terminal turns the line feed into CR LF.
    std::regex line("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d:\\d{3} vantrel-uploadd\\[" +
                    std::to_string(getpid()) + ":1a2b\\] hello terminal\r?\n");
    EXPECT_TRUE(std::regex_match(received, line)) << received;
}

TEST(TerminalLogDestination, WritesNothingWhenNotATerminal) {
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_NONBLOCK), 0);
    VTRFileDescriptor reader(ends[0]), writer(ends[1]);
    VTRTerminalLogDestination destination(writer.get());
    EXPECT_FALSE(destination.isWriting());
    VTRLogMessage message;
    message.text = "nobody sees this";
    destination.logMessage(message);
    char buffer[16];
    EXPECT_EQ(read(reader.get(), buffer, sizeof buffer), -1);
    EXPECT_EQ(errno, EAGAIN);
}

TEST(SystemLogDestination, PriorityFollowsTheLevelWord) {
    EXPECT_EQ(systemLogPriorityForLevel(1), LOG_CRIT);
    EXPECT_EQ(systemLogPriorityForLevel(2), LOG_ERR);
    EXPECT_EQ(systemLogPriorityForLevel(3), LOG_WARNING);
    EXPECT_EQ(systemLogPriorityForLevel(0), LOG_NOTICE);
    EXPECT_EQ(systemLogPriorityForLevel(7), LOG_NOTICE);
    EXPECT_EQ(systemLogPriorityForLevel(15), LOG_NOTICE);
}

}  // namespace
}  // namespace vtr
