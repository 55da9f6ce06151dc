// Fifty jobs against a service that fails, drops and stalls calls at random, with the daemon
// SIGKILLed and started again every 30 to 90 seconds: every job must complete with identical
// bytes, and the daemon's resident memory must stay flat. Prints its figures.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>

#include "support/FakeService.h"
#include "support/TestSupport.h"
#include "support/UploadDaemon.h"

namespace vtr::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Resident set size in KiB, or 0 when the process is gone.
long residentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return 0;
}

TEST(Soak, FiftyJobsThroughFaultsAndRepeatedKillsAllCompleteIdentical) {
    const auto budget = 10min;
    const uint32_t seed = std::random_device{}();
    std::mt19937 random(seed);
    std::cout << "soak seed " << seed << std::endl;

    TempDir root;
    ::mkdir(root.file("files").c_str(), 0700);
    FakeService service(root.file("service"), {"--seed", std::to_string(seed)});
    ASSERT_TRUE(service.started());
    ASSERT_TRUE(
        service.control("POST", "/control/config", {{"chunk_size", 32 * 1024}}).is_object());
    // Every call may fail with 500 (5%), be dropped (2%) or be held for 300 ms (10%).
    nlohmann::json faults = nlohmann::json::array();
    for (auto [action, probability, delayMs] :
         {std::tuple("status", 0.05, 0), {"drop", 0.02, 0}, {"delay", 0.10, 300}})
        faults.push_back({{"method", "*"},
                          {"action", action},
                          {"status", 500},
                          {"delay_ms", delayMs},
                          {"probability", probability},
                          {"count", 0}});
    ASSERT_TRUE(service.control("POST", "/control/faults", faults).is_object());

    // Small chunks and frequent delays stretch the uploads over several minutes, so that the
    // daemon is killed a number of times in the middle of them.
    // Mixed sizes: mostly small, a few of several MiB; 1 to 3 files a job.
    const std::vector<size_t> sizes{
        0, 1, 4096, 300 * 1024, 1024 * 1024 + 3, 3 * 1024 * 1024, 7 * 1024 * 1024};
    // Each job's files: (local path, remote name).
    std::map<std::string, std::vector<std::pair<std::string, std::string>>> jobs;
    uint64_t totalBytes = 0;
    for (int j = 0; j < 50; ++j) {
        std::string id = "soak" + std::to_string(j);
        int files = 1 + static_cast<int>(random() % 3);
        for (int f = 0; f < files; ++f) {
            size_t size = sizes[random() % sizes.size()];
            std::string name = id + "-" + std::to_string(f) + ".mov";
            writeFile(root.file("files/" + name), randomBytes(size, random()));
            jobs[id].push_back({root.file("files/" + name), name});
            totalBytes += size;
        }
    }

    UploadDaemon daemon(root.file("daemon"));
    ASSERT_TRUE(daemon.start()) << daemon.output();
    for (const auto& [id, files] : jobs)
        ASSERT_EQ(daemon.putJob(jobJSON(id, service.url(), "s-" + id, files)), 201) << id;

    auto start = Clock::now();
    // How many stored jobs are in each state, and in total ("jobs"); nothing when the daemon
    // does not answer.
    auto states = [&] {
        std::map<std::string, size_t> counts;
        nlohmann::json list =
            nlohmann::json::parse(daemon.request("GET", "/jobs").body, nullptr, false);
        for (const auto& job : list.is_array() ? list : nlohmann::json::array()) {
            ++counts[job.value("state", "?")];
            ++counts["jobs"];
        }
        return counts;
    };
    auto allCompleted = [&] { return states()["completed"] == jobs.size(); };
    // The peak resident memory of each daemon run in KiB, sampled while waiting.
    std::vector<long> peaks(1, 0);
    bool completed = false;
    while (!completed && Clock::now() - start < budget) {
        auto runFor = std::chrono::seconds(30 + random() % 61);
        auto runEnds = Clock::now() + runFor;
        auto sampled = [&] {
            peaks.back() = std::max(peaks.back(), residentKiB(daemon.pid()));
            return allCompleted() || Clock::now() >= runEnds;
        };
        completed = waitUntil(sampled, runFor + 5s, 2s) && allCompleted();
        std::cout << "soak run " << peaks.size() << ": " << states()["completed"] << " of "
                  << jobs.size() << " jobs completed, " << peaks.size() - 1
                  << " kills so far, resident peak " << peaks.back() << " KiB" << std::endl;
        if (completed) break;
        ASSERT_TRUE(daemon.stop().has_value());
        ASSERT_TRUE(daemon.start()) << daemon.output();
        peaks.push_back(0);
    }
    auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count();
    const size_t kills = peaks.size() - 1;

    std::map<std::string, size_t> counts = states();
    std::cout << "soak: " << jobs.size() << " jobs, " << totalBytes << " bytes, " << kills
              << " kills, " << elapsed << " s; states:";
    for (const auto& [state, count] : counts) std::cout << " " << state << "=" << count;
    std::cout << std::endl;
    EXPECT_TRUE(completed) << "not every job completed within the budget";
    EXPECT_EQ(counts["jobs"], jobs.size()) << "jobs were lost";
    for (const auto& [id, files] : jobs) {
        for (const auto& [local, remote] : files) {
            std::string stored = service.storedFilePath("s-" + id, remote);
            EXPECT_TRUE(std::filesystem::exists(stored) && readFile(stored) == readFile(local))
                << id << " " << remote;
        }
    }
    // Flat memory: no run's peak far above the first run's. The margins allow for the
    // allocator's high-water mark.
    for (size_t r = 1; r < peaks.size(); ++r)
        EXPECT_LT(peaks[r], peaks[0] * 3 / 2 + 16 * 1024) << "run " << r;
}

}  // namespace
}  // namespace vtr::test
