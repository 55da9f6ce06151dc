#include "jobs/VTRContextSave.h"

#include <algorithm>

#include <fmt/format.h>

#include "jobs/VTRObjectContext.h"
#include "jobs/VTRSQLiteStatement.h"
#include "jobs/VTRStoreCoordinator.h"

namespace vtr {

namespace {

VTRValue dynamicValue(const VTRAttributeValue& value) {
    if (const auto* number = std::get_if<int64_t>(&value)) return VTRValue(*number);
    if (const auto* text = std::get_if<std::string>(&value)) return VTRValue(*text);
    return VTRValue();
}

VTRDictionary snapshotDictionary(const VTREntity& entity, const VTRAttributeValues& values) {
    VTRDictionary snapshot;
    for (size_t i = 0; i < values.size(); ++i)
        snapshot.emplace(entity.attributes()[i], dynamicValue(values[i]));
    return snapshot;
}

// The attributes of the row a `selectByIDSQL` statement stands on.
VTRAttributeValues rowValues(const VTREntity& entity, sqlite3_stmt* statement) {
    VTRAttributeValues values;
    values.reserve(entity.attributes().size());
    for (size_t i = 0; i < entity.attributes().size(); ++i)
        values.push_back(columnAttributeValue(statement, int(i) + 2));
    return values;
}

VTRError validationError(std::vector<VTRError> violations) {
    if (violations.size() == 1) return std::move(violations.front());
    VTRArray detailed(violations.begin(), violations.end());
    VTRError error = VTRError::withDescription(NSCocoaErrorDomain, NSValidationMultipleErrorsError,
                                               "Multiple validation errors occurred.");
    error.mutableUserInfo()[NSDetailedErrorsKey] = VTRValue(std::move(detailed));
    return error;
}

}  // namespace

VTRContextSave::VTRContextSave(VTRStoreCoordinator& coordinator,
                               const std::vector<std::unique_ptr<VTRManagedObject>>& objects)
    : coordinator_(coordinator) {
    // A child record outside every owner's list has no place in the store: a new one is
    // dropped, a stored one deleted.
    for (const auto& owned : objects) {
        VTRManagedObject* object = owned.get();
        if (object->isGone() || (object->isFault() && !object->isDeleted())) continue;
        bool orphan = object->entity().isChild() && !object->parent();
        if (object->isDeleted() || orphan) {
            (object->isInserted() ? dropped_ : deletes_).push_back(object);
        } else if (object->isInserted()) {
            inserts_.push_back(object);
        } else if (object->needsUpdate()) {
            updates_.push_back(object);
        }
    }
    // Owners before children, so a new child can name its new owner.
    std::stable_partition(inserts_.begin(), inserts_.end(),
                          [](VTRManagedObject* object) { return !object->entity().isChild(); });
}

std::vector<VTRManagedObject*> VTRContextSave::removed() const {
    std::vector<VTRManagedObject*> removed = deletes_;
    removed.insert(removed.end(), dropped_.begin(), dropped_.end());
    return removed;
}

bool VTRContextSave::validate(VTRError* error) const {
    std::vector<VTRError> violations;
    for (VTRManagedObject* object : inserts_) object->collectValidationErrors(violations);
    for (VTRManagedObject* object : updates_) object->collectValidationErrors(violations);
    if (violations.empty()) return true;
    setError(error, validationError(std::move(violations)));
    return false;
}

bool VTRContextSave::write(VTRError* error) {
    auto lock = coordinator_.lock();
    if (!runTransactionSQL(coordinator_, "BEGIN IMMEDIATE")) {
        setError(error, coordinator_.lastError(NSPersistentStoreSaveError));
        return false;
    }
    VTRArray conflicts;
    if (!writeInserts() || !writeUpdates(conflicts)) return fail(error);
    if (!conflicts.empty()) {
        runTransactionSQL(coordinator_, "ROLLBACK");
        VTRError conflict = VTRError::withDescription(NSCocoaErrorDomain, NSManagedObjectMergeError,
                                                      "Could not merge changes.");
        conflict.mutableUserInfo()[VTRConflictListKey] = VTRValue(std::move(conflicts));
        setError(error, std::move(conflict));
        return false;
    }
    if (!writeDeletes() || !runTransactionSQL(coordinator_, "COMMIT")) return fail(error);
    return true;
}

bool VTRContextSave::fail(VTRError* error) {
    VTRError failure = coordinator_.lastError(NSPersistentStoreSaveError);
    runTransactionSQL(coordinator_, "ROLLBACK");
    setError(error, std::move(failure));
    return false;
}

int64_t VTRContextSave::parentIDOf(VTRManagedObject* object) {
    VTRManagedObject* parent = object->parent();
    if (!parent) return 0;
    return parent->isInserted() ? newIDs_[parent] : parent->objectID();
}

bool VTRContextSave::writeInserts() {
    sqlite3* db = coordinator_.connection();
    for (VTRManagedObject* object : inserts_) {
        sqlite3_stmt* statement = coordinator_.statement(object->entity().insertSQL(), nullptr);
        if (!statement) return false;
        VTRStatementScope scope(statement);
        int index = 1;
        for (const VTRAttributeValue& value : object->values())
            bindAttributeValue(statement, index++, value);
        if (object->entity().isChild()) sqlite3_bind_int64(statement, index, parentIDOf(object));
        if (sqlite3_step(statement) != SQLITE_DONE) return false;
        newIDs_[object] = sqlite3_last_insert_rowid(db);
    }
    return true;
}

bool VTRContextSave::writeUpdates(VTRArray& conflicts) {
    for (VTRManagedObject* object : updates_) {
        bool updated = false;
        if (!updateRow(object, updated)) return false;
        if (!updated && !addConflict(object, conflicts)) return false;
    }
    return true;
}

bool VTRContextSave::updateRow(VTRManagedObject* object, bool& updated) {
    const VTREntity& entity = object->entity();
    // Only the changed columns: an unchanged indexed column costs no index update.
    const VTRAttributeValues& base = object->baseValues();
    const VTRAttributeValues& values = object->values();
    std::string sql = fmt::format("UPDATE \"{}\" SET ", entity.name());
    std::vector<const VTRAttributeValue*> changed;
    for (size_t i = 0; i < base.size(); ++i) {
        if (values[i] == base[i]) continue;
        sql += fmt::format("\"{}\" = ?, ", entity.attributes()[i]);
        changed.push_back(&values[i]);
    }
    int64_t parentID = parentIDOf(object);
    bool parentChanged = entity.isChild() && parentID != object->baseParentID();
    if (parentChanged) sql += fmt::format("\"{}\" = ?, ", entity.parentColumn());
    sql += "version = version + 1 WHERE pk = ? AND version = ?";
    sqlite3_stmt* statement = coordinator_.statement(sql, nullptr);
    if (!statement) return false;
    VTRStatementScope scope(statement);
    int index = 1;
    for (const VTRAttributeValue* value : changed) bindAttributeValue(statement, index++, *value);
    if (parentChanged) sqlite3_bind_int64(statement, index++, parentID);
    sqlite3_bind_int64(statement, index++, object->objectID());
    sqlite3_bind_int64(statement, index, object->version());
    if (sqlite3_step(statement) != SQLITE_DONE) return false;
    updated = sqlite3_changes(coordinator_.connection()) == 1;
    return true;
}

bool VTRContextSave::addConflict(VTRManagedObject* object, VTRArray& conflicts) {
    const VTREntity& entity = object->entity();
    sqlite3_stmt* select = coordinator_.statement(entity.selectByIDSQL(), nullptr);
    if (!select) return false;
    VTRStatementScope scope(select);
    sqlite3_bind_int64(select, 1, object->objectID());
    int rc = sqlite3_step(select);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) return false;
    VTRDictionary conflict;
    conflict[VTRConflictEntityKey] = entity.name();
    conflict[VTRConflictObjectKey] = object->objectID();
    conflict[VTRConflictSnapshotKey] = snapshotDictionary(entity, object->baseValues());
    conflict[VTRConflictCachedRowKey] =
        rc == SQLITE_ROW ? VTRValue(snapshotDictionary(entity, rowValues(entity, select)))
                         : VTRValue();
    conflicts.push_back(std::move(conflict));
    return true;
}

bool VTRContextSave::writeDeletes() {
    for (VTRManagedObject* object : deletes_) {
        const VTREntity& entity = object->entity();
        if (const VTREntity* child = entity.childEntity()) {
            std::string sql = fmt::format("DELETE FROM \"{}\" WHERE \"{}\" = ?", child->name(),
                                          child->parentColumn());
            if (!runDelete(sql, object->objectID())) return false;
        }
        std::string sql = fmt::format("DELETE FROM \"{}\" WHERE pk = ?", entity.name());
        if (!runDelete(sql, object->objectID())) return false;
    }
    return true;
}

bool VTRContextSave::runDelete(const std::string& sql, int64_t key) {
    sqlite3_stmt* statement = coordinator_.statement(sql, nullptr);
    if (!statement) return false;
    VTRStatementScope scope(statement);
    sqlite3_bind_int64(statement, 1, key);
    return sqlite3_step(statement) == SQLITE_DONE;
}

}  // namespace vtr
