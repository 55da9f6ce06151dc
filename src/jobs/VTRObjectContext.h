// VTRObjectContext: a working context over the shared VTRStoreCoordinator. It owns the records it
// fetched or inserted (one record object per stored row), keeps their unsaved changes, and saves
// them all in one transaction with validation and optimistic locking. One thread at a time.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "foundation/VTRError.h"
#include "jobs/VTRManagedObject.h"

struct sqlite3_stmt;

namespace vtr {

class VTRContextSave;
class VTRStoreCoordinator;

// Detail keys of one entry of a merge conflict's "conflictList".
inline constexpr const char* VTRConflictEntityKey = "entity";
inline constexpr const char* VTRConflictObjectKey = "object";      // the record's objectID
inline constexpr const char* VTRConflictSnapshotKey = "snapshot";  // base: as this context read it
inline constexpr const char* VTRConflictCachedRowKey =
    "cachedRow";  // theirs: as now stored; null if deleted
// Detail key of a several-violations validation error: the single errors.
inline constexpr const char* NSDetailedErrorsKey = "NSDetailedErrors";
inline constexpr const char* NSValidationKeyErrorKey = "NSValidationErrorKey";

// Fetch the records of an entity, all of them or those whose attribute equals a value.
struct VTRFetchRequest {
    const VTREntity* entity = nullptr;
    std::string attribute;  // empty: no predicate
    VTRAttributeValue value;
    // Empty: load whole records. Else load only these attributes; the records stay faults.
    std::vector<std::string> propertiesToFetch;
    // False: whole owner records come without their children, which load on first use (all of
    // them) or through childrenWithValue (some).
    bool includesChildren = true;
};

class VTRObjectContext {
  public:
    explicit VTRObjectContext(std::shared_ptr<VTRStoreCoordinator> coordinator);
    ~VTRObjectContext();
    VTRObjectContext(const VTRObjectContext&) = delete;
    VTRObjectContext& operator=(const VTRObjectContext&) = delete;

    const std::shared_ptr<VTRStoreCoordinator>& coordinator() const { return coordinator_; }

    // A new record of `entity`, with its insertion defaults, saved by the next save.
    VTRManagedObject* insertNewObject(const VTREntity& entity);
    // Matching stored records (with their children loaded), minus those deleted here, plus
    // matching records inserted here. Failure: nullopt and the error.
    std::optional<std::vector<VTRManagedObject*>> execute(const VTRFetchRequest& request,
                                                          VTRError* error);
    // Marks the record (and, for an owner, its children) for deletion at the next save.
    void deleteObject(VTRManagedObject* object);

    bool hasChanges() const;
    // Writes every pending change in one transaction. Fails without writing anything on a
    // validation failure (1570, or 1560 for several) or a merge conflict (133020, whose
    // "conflictList" lists each stale record); the context's changes are then kept.
    bool save(VTRError* error);
    // Discards every unsaved change: inserted records are gone, changed ones read as last read.
    void rollback();
    // Reloads the record from the store. With `mergeChanges`, attributes changed here keep this
    // context's values; without, unsaved changes are dropped. A record deleted in the store is
    // forgotten (gone, out of its owner's list).
    bool refreshObject(VTRManagedObject* object, bool mergeChanges, VTRError* error);

    // The record of this context for a stored row, or nullptr.
    VTRManagedObject* registeredObject(const VTREntity& entity, int64_t objectID) const;

    // The children of `owner` whose attribute currently equals `value`. When the owner's
    // children are not loaded, only the matching stored ones are read (an index on the owner
    // column and the attribute keeps that independent of the owner's size).
    std::optional<std::vector<VTRManagedObject*>> childrenWithValue(VTRManagedObject& owner,
                                                                    const std::string& attribute,
                                                                    const VTRAttributeValue& value,
                                                                    VTRError* error);
    // Whether a stored child of `owner` meets `condition`, an SQL expression over the child's
    // columns whose placeholders take `values` in order. Unsaved changes are not seen.
    std::optional<bool> hasStoredChild(const VTRManagedObject& owner, const std::string& condition,
                                       const VTRAttributeValues& values, VTRError* error);

    // For VTRManagedObject: loads a fault's remaining attributes and children, or an owner's
    // missing children; failures leave it as it is.
    void fireFault(VTRManagedObject* object);
    void fireChildrenFault(VTRManagedObject* object);

  private:
    struct Key {
        const VTREntity* entity;
        int64_t objectID;
        bool operator==(const Key&) const = default;
    };
    struct KeyHash {
        size_t operator()(const Key& key) const;
    };
    struct FetchQuery;

    // Owner records by objectID, sorted.
    using Owners = std::vector<std::pair<int64_t, VTRManagedObject*>>;

    VTRManagedObject* adopt(std::unique_ptr<VTRManagedObject> object);
    // A new record object for a stored row, registered under its key.
    VTRManagedObject* registerNew(const VTREntity& entity, int64_t objectID);

    // The steps of execute: build the query, read its rows into records, load the children of
    // the whole records read, then count this context's pending changes in.
    static FetchQuery fetchQuery(const VTRFetchRequest& request);
    bool readRecords(const VTRFetchRequest& request, const FetchQuery& query,
                     std::vector<VTRManagedObject*>& results, Owners& owners, VTRError* error);
    VTRManagedObject* recordForRow(const VTREntity& entity, const FetchQuery& query,
                                   sqlite3_stmt* statement, Owners& owners);
    bool loadChildrenOf(const VTRFetchRequest& request, const std::string& where, Owners& owners,
                        VTRError* error);
    void addPendingChanges(const VTRFetchRequest& request,
                           std::vector<VTRManagedObject*>& results) const;

    // Runs the query of `owner`'s children, `condition` (SQL, bound from `values` after the
    // owner's key) narrowing it, and adds the rows to the owner's list. Needs the coordinator's
    // lock.
    bool loadChildrenOfOwner(VTRManagedObject* owner, const std::string& condition,
                             const VTRAttributeValues& values, VTRError* error);
    // Reads the child rows `statement` yields into the owners' lists: the whole lists, or with
    // `partial`, only adding the rows not loaded yet.
    bool loadChildren(const VTREntity& child, sqlite3_stmt* statement, const Owners& owners,
                      VTRError* error, bool partial = false);
    // The bookkeeping after a save's commit.
    void didSave(const VTRContextSave& save);
    // Marks the records (and their children) gone and takes them out of every member list.
    void forget(const std::vector<VTRManagedObject*>& objects);

    std::shared_ptr<VTRStoreCoordinator> coordinator_;
    std::vector<std::unique_ptr<VTRManagedObject>> objects_;
    std::unordered_map<Key, VTRManagedObject*, KeyHash> registered_;
};

}  // namespace vtr
