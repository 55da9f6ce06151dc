// VTRContextSave: one save of a VTRObjectContext's pending changes, as a pipeline of steps: plan
// (sort the records into inserts, updates and deletes), validate, then write the inserts, the
// updates (collecting merge conflicts) and the deletes in one transaction. The context does the
// bookkeeping after the commit. Used on the context's thread, for one save only.
#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "foundation/VTRError.h"
#include "jobs/VTRManagedObject.h"

namespace vtr {

class VTRStoreCoordinator;

class VTRContextSave {
  public:
    // Plans the work from the context's records.
    VTRContextSave(VTRStoreCoordinator& coordinator,
                   const std::vector<std::unique_ptr<VTRManagedObject>>& objects);
    VTRContextSave(const VTRContextSave&) = delete;
    VTRContextSave& operator=(const VTRContextSave&) = delete;

    // The model violations of the records to write: 1570, or 1560 listing several.
    bool validate(VTRError* error) const;
    // Writes the planned work in one transaction under the coordinator's lock. On any failure,
    // a merge conflict (133020) included, nothing is written.
    bool write(VTRError* error);

    // The planned work, for the bookkeeping after the commit.
    const std::vector<VTRManagedObject*>& inserts() const { return inserts_; }
    const std::vector<VTRManagedObject*>& updates() const { return updates_; }
    // Stored records deleted and new records dropped: both leave the context.
    std::vector<VTRManagedObject*> removed() const;
    // The key the store gave an inserted record.
    int64_t newObjectID(VTRManagedObject* object) const { return newIDs_.at(object); }

  private:
    bool writeInserts();
    // Optimistic locking: a row whose version moved on since it was read is a conflict.
    bool writeUpdates(VTRArray& conflicts);
    bool updateRow(VTRManagedObject* object, bool& updated);
    bool addConflict(VTRManagedObject* object, VTRArray& conflicts);
    bool writeDeletes();
    bool runDelete(const std::string& sql, int64_t key);
    // The owner's key as it stands in this transaction (0: none).
    int64_t parentIDOf(VTRManagedObject* object);
    // Leaves the transaction rolled back and reports the connection's error.
    bool fail(VTRError* error);

    VTRStoreCoordinator& coordinator_;
    std::vector<VTRManagedObject*> inserts_, updates_, deletes_, dropped_;
    std::unordered_map<VTRManagedObject*, int64_t> newIDs_;
};

}  // namespace vtr
