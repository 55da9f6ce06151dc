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
    };
    return list;
}

}  // namespace vtr
