// Shared set-up for the job store tests: a fresh database in a temporary directory, and small
// builders for job input objects.
#pragma once

#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <nlohmann/json.hpp>

#include "jobs/VTRSQLiteUploadJobStore.h"
#include "jobs/VTRStoreCoordinator.h"
#include "support/TestSupport.h"

namespace vtr::test {

// A job input object with `fileCount` files named /data/<id>/<n>.mov.
inline nlohmann::json jobInput(const std::string& id, const std::string& state = "running",
                               int fileCount = 2) {
    nlohmann::json files = nlohmann::json::array();
    for (int i = 0; i < fileCount; ++i)
        files.push_back({{"local_path", "/data/" + id + "/" + std::to_string(i) + ".mov"},
                         {"remote_path", std::to_string(i) + ".mov"}});
    return {{"id", id},
            {"server_url", "https://recordings.example/upload.svc"},
            {"session_id", "session-" + id},
            {"state", state},
            {"credentials", "secret"},
            {"file_list", files}};
}

class StoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        VTRError error;
        coordinator = VTRStoreCoordinator::open(databasePath(), &error);
        ASSERT_TRUE(coordinator) << error.description();
    }
    std::string databasePath() const { return directory.file("UploadDaemon.sqlite"); }
    // The number of rows of `table`, read over a connection of its own.
    int64_t countRows(const std::string& table) const {
        sqlite3* db = nullptr;
        int64_t count = -1;
        auto read = [](void* out, int, char** values, char**) {
            *static_cast<int64_t*>(out) = std::stoll(values[0]);
            return 0;
        };
        if (sqlite3_open_v2(databasePath().c_str(), &db, SQLITE_OPEN_READONLY, nullptr) ==
            SQLITE_OK)
            sqlite3_exec(db, ("SELECT count(*) FROM \"" + table + "\"").c_str(), read, &count,
                         nullptr);
        sqlite3_close_v2(db);
        return count;
    }
    std::unique_ptr<VTRSQLiteUploadJobStore> newStore() const {
        return std::make_unique<VTRSQLiteUploadJobStore>(coordinator);
    }

    TempDir directory;
    std::shared_ptr<VTRStoreCoordinator> coordinator;
};

}  // namespace vtr::test
