// VTRStoreCoordinator: the one open job database, shared by every working context of the
// process. Opening creates the file (mode 0600) or migrates it to the current schema. Any thread
// may use it: every read or transaction runs while holding lock(), which serialises them.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "foundation/VTRError.h"

struct sqlite3;
struct sqlite3_stmt;

namespace vtr {

// Persistence failures other than validation and merge conflicts ("NSCocoaErrorDomain").
enum VTRPersistentStoreErrorCode : int64_t {
    NSPersistentStoreSaveError = 134030,
    NSPersistentStoreOpenError = 134080,
    NSPersistentStoreIncompatibleVersionHashError = 134100,
    NSSQLiteError = 134180,
};
// Detail key carrying SQLite's own result code.
inline constexpr const char* NSSQLiteErrorDomainKey = "NSSQLiteErrorDomain";

class VTRStoreCoordinator {
  public:
    // The schema version this build writes.
    static int currentSchemaVersion();

    // Opens (creating if missing) the database at `path` and migrates it up to `schemaVersion`
    // (tests pass an older version to produce a database as an older build left it). A file that
    // is not a database, or was written by a newer build, is left untouched and nothing is
    // returned.
    static std::shared_ptr<VTRStoreCoordinator> open(const std::string& path, VTRError* error,
                                                     int schemaVersion = currentSchemaVersion());
    ~VTRStoreCoordinator();
    VTRStoreCoordinator(const VTRStoreCoordinator&) = delete;
    VTRStoreCoordinator& operator=(const VTRStoreCoordinator&) = delete;

    const std::string& path() const { return path_; }

    // For VTRObjectContext. Hold the lock for the whole of one read or one transaction.
    std::unique_lock<std::mutex> lock() { return std::unique_lock<std::mutex>(mutex_); }
    sqlite3* connection() const { return db_; }
    // A prepared statement for `sql`, kept for reuse; reset it after use. Needs the lock.
    sqlite3_stmt* statement(const std::string& sql, VTRError* error);
    // An error from the connection's last failure.
    VTRError lastError(int64_t code) const;

  private:
    VTRStoreCoordinator(std::string path, sqlite3* db);

    std::string path_;
    sqlite3* db_;
    std::mutex mutex_;
    std::unordered_map<std::string, sqlite3_stmt*> statements_;
};

}  // namespace vtr
