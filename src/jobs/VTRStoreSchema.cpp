#include "jobs/VTRStoreSchema.h"

namespace vtr {

// Column names are the record attributes' names, so that a row and a record snapshot share keys.
// `version` counts the row's saves and backs the optimistic locking of the object contexts.
const std::vector<VTRStoreMigration>& VTRStoreSchema::migrations() {
    static const std::vector<VTRStoreMigration> list{
        {1, R"sql(
            CREATE TABLE "UploadJob" (
                pk INTEGER PRIMARY KEY,
                version INTEGER NOT NULL,
                "jobID" TEXT,
                "serverURL" TEXT,
                "sessionID" TEXT,
                "credentials" TEXT,
                "stateValue" INTEGER,
                "errorStateValue" INTEGER,
                "error" TEXT,
                "restartingValue" INTEGER
            );
            CREATE INDEX "UploadJob_jobID" ON "UploadJob" ("jobID");
            CREATE TABLE "UploadFile" (
                pk INTEGER PRIMARY KEY,
                version INTEGER NOT NULL,
                "localPath" TEXT,
                "remotePath" TEXT,
                "totalBytesValue" INTEGER,
                "bytesUploadedValue" INTEGER,
                "closedValue" INTEGER,
                "job" INTEGER REFERENCES "UploadJob" (pk) ON DELETE CASCADE
            );
        )sql"},
        // Loading a job's files and listing jobs by state scanned whole tables.
        {2, R"sql(
            CREATE INDEX "UploadFile_job" ON "UploadFile" ("job");
            CREATE INDEX "UploadJob_stateValue" ON "UploadJob" ("stateValue");
        )sql"},
        // Row ids are never given out twice. A store may still hold a job that another deleted;
        // had a newer row the deleted one's id (SQLite reuses the highest), starting again at
        // version 1, that store's save would land on the newer job. The tables are rebuilt with
        // AUTOINCREMENT and keep their rows; the old ones are renamed out of the way first, so
        // that the files' reference follows them and no cascade reaches the copied rows.
        {3, R"sql(
            DROP INDEX "UploadJob_jobID";
            DROP INDEX "UploadJob_stateValue";
            DROP INDEX "UploadFile_job";
            ALTER TABLE "UploadFile" RENAME TO "UploadFile_2";
            ALTER TABLE "UploadJob" RENAME TO "UploadJob_2";
            CREATE TABLE "UploadJob" (
                pk INTEGER PRIMARY KEY AUTOINCREMENT,
                version INTEGER NOT NULL,
                "jobID" TEXT,
                "serverURL" TEXT,
                "sessionID" TEXT,
                "credentials" TEXT,
                "stateValue" INTEGER,
                "errorStateValue" INTEGER,
                "error" TEXT,
                "restartingValue" INTEGER
            );
            CREATE TABLE "UploadFile" (
                pk INTEGER PRIMARY KEY AUTOINCREMENT,
                version INTEGER NOT NULL,
                "localPath" TEXT,
                "remotePath" TEXT,
                "totalBytesValue" INTEGER,
                "bytesUploadedValue" INTEGER,
                "closedValue" INTEGER,
                "job" INTEGER REFERENCES "UploadJob" (pk) ON DELETE CASCADE
            );
            INSERT INTO "UploadJob" (pk, version, "jobID", "serverURL", "sessionID",
                                     "credentials", "stateValue", "errorStateValue", "error",
                                     "restartingValue")
                SELECT pk, version, "jobID", "serverURL", "sessionID", "credentials",
                       "stateValue", "errorStateValue", "error", "restartingValue"
                FROM "UploadJob_2";
            INSERT INTO "UploadFile" (pk, version, "localPath", "remotePath", "totalBytesValue",
                                      "bytesUploadedValue", "closedValue", "job")
                SELECT pk, version, "localPath", "remotePath", "totalBytesValue",
                       "bytesUploadedValue", "closedValue", "job"
                FROM "UploadFile_2";
            DROP TABLE "UploadFile_2";
            DROP TABLE "UploadJob_2";
            CREATE INDEX "UploadJob_jobID" ON "UploadJob" ("jobID");
            CREATE INDEX "UploadJob_stateValue" ON "UploadJob" ("stateValue");
            CREATE INDEX "UploadFile_job" ON "UploadFile" ("job");
        )sql"},
        // A report on one file of a job finds that file, and whether another is still open,
        // without reading the job's other files. Both indexes lead with the job, so the one on
        // the job alone goes.
        {4, R"sql(
            DROP INDEX "UploadFile_job";
            CREATE INDEX "UploadFile_job_localPath" ON "UploadFile" ("job", "localPath");
            CREATE INDEX "UploadFile_job_open" ON "UploadFile" ("job", IFNULL("closedValue", 0));
        )sql"},
        // The daemon's own settings (the upload limit and its timetable), one value per name.
        {5, R"sql(
            CREATE TABLE "Setting" (
                "name" TEXT PRIMARY KEY,
                "value" TEXT NOT NULL
            );
        )sql"},
    };
    return list;
}

}  // namespace vtr
