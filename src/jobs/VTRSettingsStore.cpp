#include "jobs/VTRSettingsStore.h"

#include <sqlite3.h>

#include "jobs/VTRSQLiteStatement.h"
#include "jobs/VTRStoreCoordinator.h"

namespace vtr {

VTRSettingsStore::VTRSettingsStore(std::shared_ptr<VTRStoreCoordinator> coordinator)
    : coordinator_(std::move(coordinator)) {}

std::optional<std::string> VTRSettingsStore::value(const std::string& name, VTRError* error) const {
    auto lock = coordinator_->lock();
    sqlite3_stmt* statement =
        coordinator_->statement(R"(SELECT "value" FROM "Setting" WHERE "name" = ?)", error);
    if (!statement) return std::nullopt;
    VTRStatementScope scope(statement);
    sqlite3_bind_text(statement, 1, name.data(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
    int rc = sqlite3_step(statement);
    if (rc == SQLITE_ROW) {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
        return std::string(text, static_cast<size_t>(sqlite3_column_bytes(statement, 0)));
    }
    if (rc != SQLITE_DONE) setError(error, coordinator_->lastError(NSSQLiteError));
    return std::nullopt;
}

bool VTRSettingsStore::setValues(const std::map<std::string, std::optional<std::string>>& values,
                                 VTRError* error) {
    auto lock = coordinator_->lock();
    if (!runTransactionSQL(*coordinator_, "BEGIN IMMEDIATE")) {
        setError(error, coordinator_->lastError(NSPersistentStoreSaveError));
        return false;
    }
    bool ok = true;
    for (const auto& [name, value] : values) {
        sqlite3_stmt* statement = coordinator_->statement(
            value ? R"(INSERT OR REPLACE INTO "Setting" ("name", "value") VALUES (?, ?))"
                  : R"(DELETE FROM "Setting" WHERE "name" = ?)",
            error);
        if (!statement) {
            ok = false;
            break;
        }
        VTRStatementScope scope(statement);
        sqlite3_bind_text(statement, 1, name.data(), static_cast<int>(name.size()),
                          SQLITE_TRANSIENT);
        if (value)
            sqlite3_bind_text(statement, 2, value->data(), static_cast<int>(value->size()),
                              SQLITE_TRANSIENT);
        if (sqlite3_step(statement) != SQLITE_DONE) {
            setError(error, coordinator_->lastError(NSPersistentStoreSaveError));
            ok = false;
            break;
        }
    }
    if (ok && runTransactionSQL(*coordinator_, "COMMIT")) return true;
    if (ok) setError(error, coordinator_->lastError(NSPersistentStoreSaveError));
    runTransactionSQL(*coordinator_, "ROLLBACK");
    return false;
}

}  // namespace vtr
