// The client's own logic that needs no daemon: reading a job's JSON and activity, the figures
// and texts printed for them (hostile fields escaped), job ids, file arguments and the locator
// files (their number format, stale and hostile files under their names).
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <regex>
#include <set>
#include <sstream>

#include "DaemonLocation.h"
#include "JobActivity.h"
#include "JobSummary.h"
#include "UploadCommands.h"
#include "support/ChildProcess.h"
#include "support/TestSupport.h"

using namespace vtr::cli;
using nlohmann::json;
using testing::HasSubstr;

namespace {

json jobWithFiles(const std::string& state,
                  std::vector<std::tuple<uint64_t, uint64_t, bool>> files) {
    json list = json::array();
    int n = 0;
    for (auto [uploaded, total, closed] : files) {
        list.push_back({{"local_path", "/data/f" + std::to_string(n)},
                        {"remote_path", "r" + std::to_string(n)},
                        {"bytes_uploaded", uploaded},
                        {"total_bytes", total},
                        {"closed", closed}});
        ++n;
    }
    return {{"id", "job-1"},       {"server_url", "http://h/s"}, {"session_id", "s"},
            {"state", state},      {"error", nullptr},           {"error_type", "none"},
            {"restarting", false}, {"file_list", list}};
}

}  // namespace

TEST(JobSummaryTest, SumsFilesCountsClosedOnesAndNeverShowsMoreThanEverything) {
    struct Case {
        std::string state;
        std::vector<std::tuple<uint64_t, uint64_t, bool>> files;
        double percent;
        std::string line;
    };
    const std::vector<Case> cases = {
        {"running",
         {{100, 400, false}, {600, 600, true}, {0, 1000, false}},
         35.0,
         "job-1  running  35.0%  700 B of 2.0 KiB  1/3 files closed"},
        // Sizes are read by the daemon when the upload starts; until then they are 0.
        {"paused", {{0, 0, false}}, 0.0, "job-1  paused  0.0%  0 B of 0 B  0/1 files closed"},
        {"completed", {}, 100.0, "job-1  completed  100.0%  0 B of 0 B  0/0 files closed"},
        // A stale count above the size.
        {"running",
         {{900, 300, false}},
         100.0,
         "job-1  running  100.0%  900 B of 300 B  0/1 files closed"},
    };
    for (const Case& c : cases) {
        auto job = JobSummary::fromJSON(jobWithFiles(c.state, c.files));
        EXPECT_DOUBLE_EQ(job.percentDone(), c.percent) << c.line;
        EXPECT_EQ(listLine(job), c.line);
    }
}

TEST(JobSummaryTest, ToleratesNullsMissingKeysAndWrongTypes) {
    json odd = {{"id", "x"},
                {"state", 5},
                {"error", nullptr},
                {"file_list", json::array({json{{"local_path", 3}, {"bytes_uploaded", "9"}},
                                           json("not an object"), json{{"total_bytes", -4}}})}};
    auto job = JobSummary::fromJSON(odd);
    EXPECT_EQ(job.id, "x");
    EXPECT_EQ(job.state, "unknown");
    EXPECT_TRUE(job.error.empty());
    ASSERT_EQ(job.files.size(), 2u);
    EXPECT_EQ(job.bytesUploaded(), 0u);
    EXPECT_EQ(job.totalBytes(), 0u);
    EXPECT_TRUE(JobSummary::fromJSON(json::array()).id.empty());
}

TEST(JobSummaryTest, ShowTextNamesErrorAndEveryFile) {
    json errored = jobWithFiles("errored", {{10, 20, false}, {20, 20, true}});
    errored["error"] = "Cannot find upload file";
    errored["error_type"] = "init";
    auto job = JobSummary::fromJSON(errored);
    std::string text = showText(job);
    EXPECT_THAT(text, HasSubstr("State:       errored"));
    EXPECT_THAT(text, HasSubstr("Error:       Cannot find upload file (while: init)"));
    EXPECT_THAT(text, HasSubstr("/data/f0 -> r0  10 B of 20 B\n"));
    EXPECT_THAT(text, HasSubstr("/data/f1 -> r1  20 B of 20 B  closed"));
    EXPECT_THAT(listLine(job), HasSubstr("error (init): Cannot find upload file"));
}

// A job whose fields carry terminal control sequences: what list and show print for it holds
// them escaped, one line per line of output and no control character but the line feeds.
TEST(JobSummaryTest, HostileFieldsPrintEscaped) {
    json hostile = jobWithFiles("running", {{1, 2, false}});
    hostile["id"] = "job\x1b[2J";
    hostile["session_id"] = "s\x1b]0;owned\x07\rDone.\nforged";
    hostile["error"] =
        "bad\x9b"
        "1m \xc2\x9b"
        "1m";
    hostile["error_type"] = "upload\x7f";
    hostile["file_list"][0]["local_path"] = "/data/\x1b[1;1Hclip.mov";
    hostile["file_list"][0]["remote_path"] = "r\tem\xc3\xa9";
    auto job = JobSummary::fromJSON(hostile);
    std::string text = showText(job);
    std::string line = listLine(job);
    for (const std::string& shown : {text, line}) {
        for (char c : shown) {
            auto byte = static_cast<unsigned char>(c);
            EXPECT_TRUE(c == '\n' || (byte >= 0x20 && byte != 0x7F && byte != 0x9B))
                << "raw byte " << int(byte) << " in " << shown;
        }
    }
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 8) << text;
    EXPECT_THAT(text, HasSubstr("Job job\\x1b[2J\n"));
    EXPECT_THAT(text, HasSubstr("Session:     s\\x1b]0;owned\\x07\\rDone.\\nforged\n"));
    EXPECT_THAT(text, HasSubstr("/data/\\x1b[1;1Hclip.mov -> r\\tem\xc3\xa9  "));
    EXPECT_THAT(line, HasSubstr("error (upload\\x7f): bad\\x9b"
                                "1m \\xc2\\x9b"
                                "1m"));
}

// What GET /activity reports for a job, read leniently and shown by show.
TEST(JobActivityTest, ShowTellsThePhaseAndWhyAndWhenTheNextAttemptComes) {
    json answer = json::array(
        {{{"id", "job-1"},
          {"phase", "waiting_to_retry"},
          {"file", "r0"},
          {"bytes_per_second", 0},
          {"retry",
           {{"method", "UploadChunk"}, {"attempt", 3}, {"next_attempt_in_seconds", 11.6}}}},
         {{"id", "job-2"},
          {"phase", "upload"},
          {"file", nullptr},
          {"bytes_per_second", 1572864.0},
          {"retry", nullptr}},
         {{"id", "job-3"}, {"phase", 7}, {"retry", {{"reason", "\x1b]0;owned\x07\nforged"}}}},
         "not an object"});
    auto activities = JobActivity::listFromJSON(answer);
    ASSERT_TRUE(activities.has_value());
    ASSERT_EQ(activities->size(), 3u);
    EXPECT_FALSE(JobActivity::listFromJSON(json::object()).has_value());

    // The text for a retry is ShowActivityTest's, which compares show's whole output.
    auto job = JobSummary::fromJSON(jobWithFiles("running", {{100, 400, false}}));
    std::string uploading = showText(job, &activities->at("job-2"));
    EXPECT_THAT(uploading, HasSubstr("  Activity:    upload, 1.5 MiB/s\n  Files:"));
    EXPECT_EQ(showText(job, nullptr), showText(job)) << "no activity: as before";

    const JobActivity& odd = activities->at("job-3");
    ASSERT_TRUE(odd.retry.has_value());
    EXPECT_EQ(activityNote(odd), "retrying (attempt 0) in 0 s: \\x1b]0;owned\\x07\\nforged");
    EXPECT_EQ(activityNote(activities->at("job-2")), "");
    EXPECT_EQ(activityNote(activities->at("job-1")), "retrying UploadChunk (attempt 3) in 12 s");
    EXPECT_EQ(activityNote(JobActivity{"j", "waiting_for_network", "", 0, std::nullopt}),
              "waiting for a network");
}

TEST(FormatTest, BytesAndDurations) {
    EXPECT_EQ(formatBytes(0), "0 B");
    EXPECT_EQ(formatBytes(1023), "1023 B");
    EXPECT_EQ(formatBytes(1024), "1.0 KiB");
    EXPECT_EQ(formatBytes(1536), "1.5 KiB");
    EXPECT_EQ(formatBytes(1ull << 20), "1.0 MiB");
    EXPECT_EQ(formatBytes(210ull << 20), "210.0 MiB");
    EXPECT_EQ(formatBytes(5ull << 29), "2.50 GiB");
    EXPECT_EQ(formatDuration(7), "0:07");
    EXPECT_EQ(formatDuration(725), "12:05");
    EXPECT_EQ(formatDuration(3723), "1:02:03");
    EXPECT_EQ(formatDuration(-1), "--:--");
}

// New ids are distinct version 4 UUIDs; ids that cannot be addressed are refused.
TEST(JobIDTest, NewIDsAreDistinctUUIDsAndUnaddressableIDsAreRefused) {
    std::regex uuid("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        std::string id = makeUUID();
        EXPECT_TRUE(std::regex_match(id, uuid)) << id;
        EXPECT_TRUE(seen.insert(id).second) << id;
        EXPECT_EQ(problemWithJobID(id, true), "");
    }
    for (std::string id : {"", ".", "..", "a b", "tab\there", "nl\n"}) {
        EXPECT_NE(problemWithJobID(id, false), "") << id;
        EXPECT_NE(problemWithJobID(id, true), "") << id;
    }
    // Lookups pass these through so that the daemon's own answer is reported; new jobs refuse.
    for (std::string id : {"a/b", "a?b", "a#b", "a%2Fb"}) {
        EXPECT_EQ(problemWithJobID(id, false), "") << id;
        EXPECT_NE(problemWithJobID(id, true), "") << id;
    }
}

TEST(FileArgumentTest, SplitsAtTheLastEqualsUnlessTheWholeArgumentIsAFile) {
    vtr::test::TempDir dir;
    std::string odd = dir.file("odd=name");
    vtr::test::writeFile(odd, "x");
    using Split = std::pair<std::string, std::string>;
    for (const auto& [argument, expected] : std::vector<std::pair<std::string, Split>>{
             {"/x/take.mov", {"/x/take.mov", "take.mov"}},
             {"/x/a=b.mov=remote.mov", {"/x/a=b.mov", "remote.mov"}},
             {"/x/take.mov=", {"/x/take.mov", ""}},
             {odd, {odd, "odd=name"}}})
        EXPECT_EQ(splitFileArgument(argument), expected);
}

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
