// Small helpers for running the object context's statements on the coordinator's connection:
// binding and reading attribute values, resetting cached statements, and read transactions.
// Used by whichever thread holds the coordinator's lock.
#pragma once

#include <sqlite3.h>

#include "jobs/VTRManagedObject.h"

namespace vtr {

class VTRStoreCoordinator;

// Resets a cached statement when it goes out of scope, so the next user finds it clean.
class VTRStatementScope {
  public:
    explicit VTRStatementScope(sqlite3_stmt* statement) : statement_(statement) {}
    ~VTRStatementScope();
    VTRStatementScope(const VTRStatementScope&) = delete;
    VTRStatementScope& operator=(const VTRStatementScope&) = delete;

  private:
    sqlite3_stmt* statement_;
};

// Inline: they run once per column of every row read.
inline void bindAttributeValue(sqlite3_stmt* statement, int index, const VTRAttributeValue& value) {
    if (const auto* number = std::get_if<int64_t>(&value)) {
        sqlite3_bind_int64(statement, index, *number);
    } else if (const auto* text = std::get_if<std::string>(&value)) {
        sqlite3_bind_text(statement, index, text->data(), static_cast<int>(text->size()),
                          SQLITE_TRANSIENT);
    } else {
        sqlite3_bind_null(statement, index);
    }
}

inline VTRAttributeValue columnAttributeValue(sqlite3_stmt* statement, int column) {
    switch (sqlite3_column_type(statement, column)) {
        case SQLITE_INTEGER:
            return sqlite3_column_int64(statement, column);
        case SQLITE_NULL:
            return std::monostate{};
        default: {
            const auto* text =
                reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
            return std::string(text, static_cast<size_t>(sqlite3_column_bytes(statement, column)));
        }
    }
}

// Runs one of the transaction statements through the coordinator's statement cache.
bool runTransactionSQL(VTRStoreCoordinator& coordinator, const char* sql);

// Makes the statements run while it lives read one consistent state of the database (a job and
// its files as of the same commit), taking the file's read lock once instead of per statement.
class VTRReadTransaction {
  public:
    explicit VTRReadTransaction(VTRStoreCoordinator& coordinator);
    ~VTRReadTransaction();
    VTRReadTransaction(const VTRReadTransaction&) = delete;
    VTRReadTransaction& operator=(const VTRReadTransaction&) = delete;

  private:
    VTRStoreCoordinator& coordinator_;
    bool open_;
};

}  // namespace vtr
