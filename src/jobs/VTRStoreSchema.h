// The job database's schema, compiled into the program as a list of migrations: migration N
// takes a database from version N-1 to N (the version lives in PRAGMA user_version). A new
// column is one more migration. Used by VTRStoreCoordinator while it opens, under its lock.
#pragma once

#include <vector>

struct sqlite3;

namespace vtr {

struct VTRStoreMigration {
    int version;
    const char* sql;
};

class VTRStoreSchema {
  public:
    VTRStoreSchema() = delete;
    // In order of version, starting at 1.
    static const std::vector<VTRStoreMigration>& migrations();
    static int currentVersion() { return static_cast<int>(migrations().size()); }
};

}  // namespace vtr
