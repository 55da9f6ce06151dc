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

// The first column of the first row that `sql` gives, as text, read through the coordinator.
inline std::string queryText(VTRStoreCoordinator& coordinator, const std::string& sql) {
    auto lock = coordinator.lock();
    sqlite3_stmt* statement = coordinator.statement(sql, nullptr);
    if (!statement) return "?";
    std::string value;
    if (sqlite3_step(statement) == SQLITE_ROW)
        value = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
    sqlite3_reset(statement);
    return value;
}

class StoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        VTRError error;
        coordinator = VTRStoreCoordinator::open(databasePath(), &error);
        ASSERT_TRUE(coordinator) << error.description();
    }
    std::string databasePath() const { return directory.file("UploadDaemon.sqlite"); }
    // The number of rows of `table`.
    int64_t countRows(const std::string& table) const {
        return std::stoll(queryText(*coordinator, "SELECT count(*) FROM \"" + table + "\""));
    }
    std::unique_ptr<VTRSQLiteUploadJobStore> newStore() const {
        return std::make_unique<VTRSQLiteUploadJobStore>(coordinator);
    }

    TempDir directory;
    std::shared_ptr<VTRStoreCoordinator> coordinator;
};

}  // namespace vtr::test
