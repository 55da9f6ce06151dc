#include "jobs/VTRStoreCoordinator.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include <fmt/format.h>

#include "jobs/VTRStoreSchema.h"

namespace vtr {

namespace {

// How long a statement waits for another process's write lock before failing.
constexpr int kBusyTimeoutMilliseconds = 10000;

VTRError openError(const std::string& path, const std::string& reason, int sqliteCode = 0) {
    VTRError error = VTRError::withDescription(
        NSCocoaErrorDomain, NSPersistentStoreOpenError,
        fmt::format("The job database \"{}\" could not be opened.", path), reason);
    if (sqliteCode != 0) error.mutableUserInfo()[NSSQLiteErrorDomainKey] = int64_t{sqliteCode};
    return error;
}

// Runs `sql` and returns its single integer result, or nullopt on failure.
std::optional<int64_t> queryInteger(sqlite3* db, const char* sql) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) != SQLITE_OK) return std::nullopt;
    std::optional<int64_t> result;
    if (sqlite3_step(statement) == SQLITE_ROW) result = sqlite3_column_int64(statement, 0);
    sqlite3_finalize(statement);
    return result;
}

// What SQLite said about a failed statement, kept before a rollback replaces it.
struct SQLiteFailure {
    std::string message;
    int code = 0;
};

SQLiteFailure failureOf(sqlite3* db) {
    return {sqlite3_errmsg(db), sqlite3_extended_errcode(db)};
}

// Each step re-reads the version inside its write transaction, so two processes opening a new
// file at once do not both run a migration. Returns the failure, if any.
std::optional<SQLiteFailure> migrate(sqlite3* db, int to) {
    for (const VTRStoreMigration& migration : VTRStoreSchema::migrations()) {
        if (migration.version > to) break;
        if (sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK)
            return failureOf(db);
        std::optional<int64_t> version = queryInteger(db, "PRAGMA user_version");
        bool ok = version.has_value();
        if (ok && *version < migration.version) {
            std::string sql =
                fmt::format("{} PRAGMA user_version = {};", migration.sql, migration.version);
            ok = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
        }
        if (!ok || sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
            SQLiteFailure failure = failureOf(db);
            sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
            return failure;
        }
    }
    return std::nullopt;
}

}  // namespace

int VTRStoreCoordinator::currentSchemaVersion() {
    return VTRStoreSchema::currentVersion();
}

std::shared_ptr<VTRStoreCoordinator> VTRStoreCoordinator::open(const std::string& path,
                                                               VTRError* error, int schemaVersion) {
    // The database holds credentials: create it private before SQLite sees it (SQLite gives
    // its journal files the database file's mode).
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
        ::close(fd);
    } else if (errno != EEXIST) {
        setError(error, openError(path, std::strerror(errno)));
        return nullptr;
    } else {
        // A file made by an older version or by hand may be open to others, and so may the
        // journal files beside it: their group and other permissions are taken away (the
        // owner's are left as they are).
        for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
            std::string file = path + suffix;
            struct stat status {};
            if (::stat(file.c_str(), &status) == 0 && (status.st_mode & 077) != 0)
                ::chmod(file.c_str(), status.st_mode & 0700);
        }
    }

    sqlite3* db = nullptr;
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_EXRESCODE;
    int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
    if (rc != SQLITE_OK) {
        setError(error, openError(path, db ? sqlite3_errmsg(db) : sqlite3_errstr(rc), rc));
        sqlite3_close_v2(db);
        return nullptr;
    }
    std::shared_ptr<VTRStoreCoordinator> coordinator(new VTRStoreCoordinator(path, db));
    sqlite3_busy_timeout(db, kBusyTimeoutMilliseconds);

    // SQLite quietly falls back to reading a file it may not write; the daemon must write.
    if (sqlite3_db_readonly(db, "main") == 1) {
        setError(error, openError(path, "The file is read-only."));
        return nullptr;
    }
    // Reading first: a file that is not a database fails here, before anything is written.
    std::optional<int64_t> version = queryInteger(db, "PRAGMA user_version");
    std::optional<int64_t> tables =
        queryInteger(db, "SELECT count(*) FROM sqlite_master WHERE type = 'table'");
    if (!version || !tables) {
        setError(error, openError(path, sqlite3_errmsg(db), sqlite3_extended_errcode(db)));
        return nullptr;
    }
    if (*version == 0 && *tables > 0) {
        setError(error, openError(path, "The file is a database of another program."));
        return nullptr;
    }
    if (*version > currentSchemaVersion()) {
        VTRError newer = VTRError::withDescription(
            NSCocoaErrorDomain, NSPersistentStoreIncompatibleVersionHashError,
            fmt::format("The job database \"{}\" could not be opened.", path),
            fmt::format("It was written by a newer version (schema {}; this version reads up "
                        "to {}).",
                        *version, currentSchemaVersion()));
        setError(error, newer);
        return nullptr;
    }

    // Reads through a memory map avoid a system call per page, which keeps look-ups in a large
    // database as cheap as in a small one.
    const char* setup =
        "PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL; PRAGMA foreign_keys = ON;"
        "PRAGMA mmap_size = 268435456;";
    std::optional<SQLiteFailure> failure;
    if (sqlite3_exec(db, setup, nullptr, nullptr, nullptr) != SQLITE_OK) {
        failure = failureOf(db);
    } else {
        failure = migrate(db, schemaVersion);
    }
    if (failure) {
        setError(error, openError(path, failure->message, failure->code));
        return nullptr;
    }
    return coordinator;
}

VTRStoreCoordinator::VTRStoreCoordinator(std::string path, sqlite3* db)
    : path_(std::move(path)), db_(db) {}

VTRStoreCoordinator::~VTRStoreCoordinator() {
    for (auto& [sql, statement] : statements_) sqlite3_finalize(statement);
    sqlite3_close_v2(db_);
}

sqlite3_stmt* VTRStoreCoordinator::statement(const std::string& sql, VTRError* error) {
    auto found = statements_.find(sql);
    if (found != statements_.end()) return found->second;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v3(db_, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr) !=
        SQLITE_OK) {
        setError(error, lastError(NSSQLiteError));
        return nullptr;
    }
    statements_.emplace(sql, statement);
    return statement;
}

VTRError VTRStoreCoordinator::lastError(int64_t code) const {
    VTRError error = VTRError::withDescription(NSCocoaErrorDomain, code, sqlite3_errmsg(db_));
    error.mutableUserInfo()[NSSQLiteErrorDomainKey] = int64_t{sqlite3_extended_errcode(db_)};
    return error;
}

}  // namespace vtr
