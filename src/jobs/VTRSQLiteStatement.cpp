#include "jobs/VTRSQLiteStatement.h"

#include <sqlite3.h>

#include "jobs/VTRStoreCoordinator.h"

namespace vtr {

VTRStatementScope::~VTRStatementScope() {
    if (statement_) {
        sqlite3_reset(statement_);
        sqlite3_clear_bindings(statement_);
    }
}

bool runTransactionSQL(VTRStoreCoordinator& coordinator, const char* sql) {
    sqlite3_stmt* statement = coordinator.statement(sql, nullptr);
    if (!statement) return false;
    int rc = sqlite3_step(statement);
    sqlite3_reset(statement);
    return rc == SQLITE_DONE;
}

VTRReadTransaction::VTRReadTransaction(VTRStoreCoordinator& coordinator)
    : coordinator_(coordinator), open_(runTransactionSQL(coordinator, "BEGIN")) {}

VTRReadTransaction::~VTRReadTransaction() {
    if (open_) runTransactionSQL(coordinator_, "COMMIT");
}

}  // namespace vtr
