// The start sequence's early exits, in process with injected places: nothing may be created
// before the step that needs it.
#include <filesystem>

#include <gtest/gtest.h>

#include "daemon/VTRUploadDaemon.h"
#include "support/TestSupport.h"

namespace vtr {
namespace {

namespace fs = std::filesystem;

class DaemonStart : public testing::Test {
  protected:
    void TearDown() override {
        VTRLog::flush();
        VTRLog::removeAllDestinations();
        ddLogLevel.store(15);
    }

    VTRUploadDaemonSettings settings(std::string dataHome) {
        VTRUploadDaemonSettings settings;
        settings.logFiles.directory = logs_;
        settings.environment = [dataHome = std::move(dataHome)](const char* name) -> const char* {
            return std::string(name) == "XDG_DATA_HOME" ? dataHome.c_str() : nullptr;
        };
        settings.installCrashHandlers = false;
        settings.otherDaemonWait = std::chrono::milliseconds(10);
        return settings;
    }

    test::TempDir dir_;
    std::string logs_ = dir_.file("logs");
    std::string data_ = dir_.file("data");
};

TEST_F(DaemonStart, HelpPrintsUsageAndCreatesNeitherLogsNorStore) {
    VTRUploadDaemon daemon({"/opt/bin/vantrel-uploadd", "-o", "-h", "-l", "bogus"},
                           settings(data_));
    testing::internal::CaptureStdout();
    EXPECT_FALSE(daemon.start());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), VTRCommandLine::usageText("vantrel-uploadd"));
    EXPECT_FALSE(fs::exists(logs_));
    EXPECT_FALSE(fs::exists(data_));
    EXPECT_EQ(daemon.locator(), nullptr);
}

TEST_F(DaemonStart, AStoreDirectoryThatCannotBeMadeIsLogged) {
    test::writeFile(dir_.file("blocker"), "");
    std::string dataHome = dir_.file("blocker/data");
    VTRUploadDaemon daemon({"vantrel-uploadd", "-l", "error"}, settings(dataHome));
    EXPECT_FALSE(daemon.start());
    VTRLog::flush();
    std::string text = test::readFilesIn(logs_);
    EXPECT_NE(text.find("  Setting log level to 'error'\n"), std::string::npos) << text;
    EXPECT_NE(text.find("  Unable to create directory at " + dataHome + "/vantrel-uploadd: "),
              std::string::npos)
        << text;
    EXPECT_EQ(daemon.locator(), nullptr) << "no daemon search without a store";
}

TEST_F(DaemonStart, ARegularFileWhereTheStoreDirectoryBelongsIsRefused) {
    fs::create_directories(data_);
    test::writeFile(data_ + "/vantrel-uploadd", "");
    VTRUploadDaemon daemon({"vantrel-uploadd"}, settings(data_));
    test::ScopedLogCapture capture;
    EXPECT_EQ(daemon.URLForPersistentStore(), std::nullopt);
    EXPECT_TRUE(capture.contains(data_ + "/vantrel-uploadd should be a directory!"));
    fs::remove(data_ + "/vantrel-uploadd");
    EXPECT_EQ(daemon.URLForPersistentStore(), data_ + "/vantrel-uploadd/UploadDaemon.sqlite");
    EXPECT_TRUE(fs::is_directory(data_ + "/vantrel-uploadd"));
}

}  // namespace
}  // namespace vtr
