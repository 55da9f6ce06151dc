// Opening the job database: private file mode, refusal of files that are not ours (leaving
// them untouched), migration of a database an older version wrote, and the connection's set-up.
#include <filesystem>

#include "jobs/StoreTestSupport.h"
#include "jobs/VTRManagedUploadFile.h"
#include "jobs/VTRManagedUploadJob.h"

namespace vtr::test {
namespace {

void runSQL(const std::string& path, const char* sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
}

class StoreCoordinatorTest : public StoreTest {};

TEST_F(StoreCoordinatorTest, DatabaseAndJournalArePrivateAndConfigured) {
    ASSERT_TRUE(newStore()->addJob(jobInput("a")));
    for (const std::string& path : {databasePath(), databasePath() + "-wal"})
        EXPECT_EQ(std::filesystem::status(path).permissions(), std::filesystem::perms(0600))
            << path;
    EXPECT_EQ(queryText(*coordinator, "PRAGMA journal_mode"), "wal");
    EXPECT_EQ(queryText(*coordinator, "PRAGMA synchronous"), "1");  // NORMAL
    EXPECT_EQ(queryText(*coordinator, "PRAGMA foreign_keys"), "1");
    EXPECT_EQ(queryText(*coordinator, "PRAGMA user_version"),
              std::to_string(VTRStoreCoordinator::currentSchemaVersion()));
}

TEST_F(StoreCoordinatorTest, FilesThatAreNotOurDatabaseAreRefusedAndLeftAlone) {
    std::string text = directory.file("notes.sqlite");
    writeFile(text, "these are my notes, not a database\n" + randomBytes(5000));
    std::string foreign = directory.file("foreign.sqlite");
    runSQL(foreign, "CREATE TABLE photos (id INTEGER); INSERT INTO photos VALUES (1);");
    std::string newer = directory.file("newer.sqlite");
    runSQL(newer, "PRAGMA user_version = 99;");
    std::string unreachable = directory.file("no/such/dir/db.sqlite");
    for (const auto& [path, code] : std::vector<std::pair<std::string, int64_t>>{
             {text, NSPersistentStoreOpenError},
             {foreign, NSPersistentStoreOpenError},
             {newer, NSPersistentStoreIncompatibleVersionHashError},
             {unreachable, NSPersistentStoreOpenError}}) {
        SCOPED_TRACE(path);
        std::string before = readFile(path);
        VTRError error;
        EXPECT_EQ(VTRStoreCoordinator::open(path, &error), nullptr);
        EXPECT_EQ(error.domain(), NSCocoaErrorDomain);
        EXPECT_EQ(error.code(), code) << error.description();
        EXPECT_FALSE(error.localizedDescription().empty());
        EXPECT_EQ(readFile(path), before);
    }
}

// Databases of every earlier schema keep their jobs, files and ids. The schemas before the
// current one gave a new row the id of the highest deleted one; from now on no id is given
// out twice.
TEST_F(StoreCoordinatorTest, DatabasesOfEarlierSchemasAreMigratedWithTheirJobs) {
    const int current = VTRStoreCoordinator::currentSchemaVersion();
    for (int version = 1; version < current; ++version) {
        SCOPED_TRACE(version);
        std::string path = directory.file(fmt::format("v{}.sqlite", version));
        {
            auto old = VTRStoreCoordinator::open(path, nullptr, version);
            ASSERT_TRUE(old);
            EXPECT_EQ(queryText(*old, "PRAGMA user_version"), std::to_string(version));
            VTRSQLiteUploadJobStore store(old);
            ASSERT_TRUE(store.addJob(jobInput("kept", "paused", 2)));
            VTRManagedUploadJob* job = store.addJob(jobInput("newest", "running", 1));
            ASSERT_TRUE(job);
            job->fileList().front()->setBytesUploaded(42);
            ASSERT_TRUE(store.saveJob(job));
        }
        VTRError error;
        auto migrated = VTRStoreCoordinator::open(path, &error);
        ASSERT_TRUE(migrated) << error.description();
        EXPECT_EQ(queryText(*migrated, "PRAGMA user_version"), std::to_string(current));
        EXPECT_EQ(queryText(*migrated, "PRAGMA foreign_key_check"), "");
        EXPECT_EQ(queryText(*migrated,
                            "SELECT count(*) FROM sqlite_master WHERE name IN "
                            "('UploadFile_job_localPath', 'UploadFile_job_open')"),
                  "2");
        const std::string newestPK =
            queryText(*migrated, "SELECT pk FROM UploadJob WHERE jobID = 'newest'");
        {
            VTRSQLiteUploadJobStore store(migrated);
            VTRManagedUploadJob* kept = store.jobWithID("kept");
            ASSERT_TRUE(kept);
            EXPECT_EQ(kept->fileList().size(), 2u);
            EXPECT_EQ(kept->state(), VTRUploadJobStatePaused);
            VTRManagedUploadJob* newest = store.jobWithID("newest");
            ASSERT_TRUE(newest);
            EXPECT_EQ(newest->fileList().front()->bytesUploaded(), 42u);
            ASSERT_TRUE(store.deleteJobWithID("newest"));
            ASSERT_TRUE(store.addJob(jobInput("after", "running", 1)));
        }
        EXPECT_GT(
            std::stoll(queryText(*migrated, "SELECT pk FROM UploadJob WHERE jobID = 'after'")),
            std::stoll(newestPK));
    }
}

TEST_F(StoreCoordinatorTest, FailedMigrationReportsSQLitesReasonAndKeepsTheOldSchema) {
    std::string path = directory.file("blocked.sqlite");
    ASSERT_TRUE(VTRStoreCoordinator::open(path, nullptr, 1));
    // An object in the way of the next migration's index.
    runSQL(path, "CREATE TABLE UploadFile_job (x INTEGER);");
    VTRError error;
    EXPECT_EQ(VTRStoreCoordinator::open(path, &error), nullptr);
    EXPECT_EQ(error.code(), NSPersistentStoreOpenError);
    EXPECT_NE(error.localizedFailureReason().find("UploadFile_job"), std::string::npos)
        << error.localizedFailureReason();
    auto old = VTRStoreCoordinator::open(path, nullptr, 1);
    ASSERT_TRUE(old);
    EXPECT_EQ(queryText(*old, "PRAGMA user_version"), "1");
}

}  // namespace
}  // namespace vtr::test
