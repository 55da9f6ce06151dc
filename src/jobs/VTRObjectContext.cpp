#include "jobs/VTRObjectContext.h"

#include <sqlite3.h>

#include <algorithm>
#include <unordered_set>

#include <fmt/format.h>

#include "jobs/VTRStoreCoordinator.h"

namespace vtr {

namespace {

// Resets a cached statement when it goes out of scope, so the next user finds it clean.
class StatementScope {
  public:
    explicit StatementScope(sqlite3_stmt* statement) : statement_(statement) {}
    ~StatementScope() {
        if (statement_) {
            sqlite3_reset(statement_);
            sqlite3_clear_bindings(statement_);
        }
    }
    StatementScope(const StatementScope&) = delete;
    StatementScope& operator=(const StatementScope&) = delete;

  private:
    sqlite3_stmt* statement_;
};

void bindValue(sqlite3_stmt* statement, int index, const VTRAttributeValue& value) {
    if (const auto* number = std::get_if<int64_t>(&value)) {
        sqlite3_bind_int64(statement, index, *number);
    } else if (const auto* text = std::get_if<std::string>(&value)) {
        sqlite3_bind_text(statement, index, text->data(), static_cast<int>(text->size()),
                          SQLITE_TRANSIENT);
    } else {
        sqlite3_bind_null(statement, index);
    }
}

VTRAttributeValue columnValue(sqlite3_stmt* statement, int column) {
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

// One stored row as read by a statement whose columns are `pk, version, <attributes> [, owner]`.
struct Row {
    int64_t objectID = 0;
    int64_t version = 0;
    VTRAttributeValues values;
    int64_t parentID = 0;
};

Row readRow(const VTREntity& entity, sqlite3_stmt* statement) {
    Row row;
    row.objectID = sqlite3_column_int64(statement, 0);
    row.version = sqlite3_column_int64(statement, 1);
    size_t count = entity.attributes().size();
    row.values.reserve(count);
    for (size_t i = 0; i < count; ++i) row.values.push_back(columnValue(statement, int(i) + 2));
    if (entity.isChild()) row.parentID = sqlite3_column_int64(statement, int(count) + 2);
    return row;
}

// Runs one of the transaction statements through the coordinator's statement cache.
bool runSQL(VTRStoreCoordinator& coordinator, const char* sql) {
    sqlite3_stmt* statement = coordinator.statement(sql, nullptr);
    if (!statement) return false;
    int rc = sqlite3_step(statement);
    sqlite3_reset(statement);
    return rc == SQLITE_DONE;
}

// Makes the statements run while it lives read one consistent state of the database (a job and
// its files as of the same commit), taking the file's read lock once instead of per statement.
class ReadTransaction {
  public:
    explicit ReadTransaction(VTRStoreCoordinator& coordinator)
        : coordinator_(coordinator), open_(runSQL(coordinator, "BEGIN")) {}
    ~ReadTransaction() {
        if (open_) runSQL(coordinator_, "COMMIT");
    }
    ReadTransaction(const ReadTransaction&) = delete;
    ReadTransaction& operator=(const ReadTransaction&) = delete;

  private:
    VTRStoreCoordinator& coordinator_;
    bool open_;
};

VTRError validationError(std::vector<VTRError> violations) {
    if (violations.size() == 1) return std::move(violations.front());
    VTRArray detailed(violations.begin(), violations.end());
    VTRError error = VTRError::withDescription(NSCocoaErrorDomain, NSValidationMultipleErrorsError,
                                               "Multiple validation errors occurred.");
    error.mutableUserInfo()[NSDetailedErrorsKey] = VTRValue(std::move(detailed));
    return error;
}

}  // namespace

size_t VTRObjectContext::KeyHash::operator()(const Key& key) const {
    return std::hash<const void*>()(key.entity) ^ std::hash<int64_t>()(key.objectID);
}

VTRObjectContext::VTRObjectContext(std::shared_ptr<VTRStoreCoordinator> coordinator)
    : coordinator_(std::move(coordinator)) {}

VTRObjectContext::~VTRObjectContext() = default;

VTRManagedObject* VTRObjectContext::adopt(std::unique_ptr<VTRManagedObject> object) {
    object->context_ = this;
    objects_.push_back(std::move(object));
    return objects_.back().get();
}

VTRManagedObject* VTRObjectContext::insertNewObject(const VTREntity& entity) {
    VTRManagedObject* object = adopt(entity.make());
    object->inserted_ = true;
    object->awakeFromInsert();
    return object;
}

VTRManagedObject* VTRObjectContext::registeredObject(const VTREntity& entity,
                                                     int64_t objectID) const {
    auto found = registered_.find(Key{&entity, objectID});
    return found == registered_.end() ? nullptr : found->second;
}

std::optional<std::vector<VTRManagedObject*>> VTRObjectContext::execute(
    const VTRFetchRequest& request, VTRError* error) {
    const VTREntity& entity = *request.entity;
    bool partial = !request.propertiesToFetch.empty();
    std::vector<int> fetched;  // attribute indexes a partial fetch reads
    std::string columns = entity.columnList();
    if (partial) {
        columns = "pk, version";
        for (const std::string& property : request.propertiesToFetch) {
            int index = entity.attributeIndex(property);
            if (index < 0) continue;
            fetched.push_back(index);
            columns += ", \"" + property + "\"";
        }
    }
    std::string where;
    if (!request.attribute.empty()) where = fmt::format(" WHERE \"{}\" = ?", request.attribute);
    std::string sql = fmt::format("SELECT {} FROM \"{}\"{}", columns, entity.name(), where);

    std::vector<VTRManagedObject*> results;
    // Records whose children this fetch loads.
    Owners owners;
    {
        auto lock = coordinator_->lock();
        ReadTransaction transaction(*coordinator_);
        sqlite3_stmt* statement = coordinator_->statement(sql, error);
        if (!statement) return std::nullopt;
        StatementScope scope(statement);
        if (!where.empty()) bindValue(statement, 1, request.value);
        int rc;
        while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
            int64_t objectID = sqlite3_column_int64(statement, 0);
            VTRManagedObject* object = registeredObject(entity, objectID);
            if (object && !(object->fault_ && !partial)) {
                results.push_back(object);
                continue;
            }
            if (partial) {
                object = adopt(entity.make());
                object->objectID_ = objectID;
                object->version_ = sqlite3_column_int64(statement, 1);
                for (size_t i = 0; i < fetched.size(); ++i) {
                    object->values_[size_t(fetched[i])] = columnValue(statement, int(i) + 2);
                }
                object->markClean();
                object->fault_ = true;
                registered_.emplace(Key{&entity, objectID}, object);
            } else {
                if (!object) {
                    object = adopt(entity.make());
                    registered_.emplace(Key{&entity, objectID}, object);
                }
                loadRow(object, statement);
                if (entity.childEntity()) owners.emplace_back(objectID, object);
            }
            results.push_back(object);
        }
        if (rc != SQLITE_DONE) {
            setError(error, coordinator_->lastError(NSSQLiteError));
            return std::nullopt;
        }
        if (!owners.empty()) {
            std::sort(owners.begin(), owners.end());
            const VTREntity& child = *entity.childEntity();
            std::string childWhere = where.empty()
                                         ? fmt::format("\"{}\" IS NOT NULL", child.parentColumn())
                                         : fmt::format("\"{}\" IN (SELECT pk FROM \"{}\"{})",
                                                       child.parentColumn(), entity.name(), where);
            std::string childSQL = fmt::format("SELECT {} FROM \"{}\" WHERE {}", child.columnList(),
                                               child.name(), childWhere);
            sqlite3_stmt* childStatement = coordinator_->statement(childSQL, error);
            if (!childStatement) return std::nullopt;
            StatementScope childScope(childStatement);
            if (!where.empty()) bindValue(childStatement, 1, request.value);
            if (!loadChildren(child, childStatement, owners, error)) return std::nullopt;
        }
    }

    // Pending deletions and insertions of this context count as if saved.
    std::erase_if(results, [](VTRManagedObject* object) { return object->deleted_; });
    int attribute = request.attribute.empty() ? -1 : entity.attributeIndex(request.attribute);
    for (const auto& object : objects_) {
        if (!object->inserted_ || object->gone_ || object->deleted_ || &object->entity() != &entity)
            continue;
        if (attribute < 0 || object->values_[size_t(attribute)] == request.value)
            results.push_back(object.get());
    }
    return results;
}

void VTRObjectContext::loadRow(VTRManagedObject* object, sqlite3_stmt* statement) {
    const VTREntity& entity = object->entity();
    size_t count = entity.attributes().size();
    object->objectID_ = sqlite3_column_int64(statement, 0);
    object->version_ = sqlite3_column_int64(statement, 1);
    object->values_.resize(count);
    for (size_t i = 0; i < count; ++i) object->values_[i] = columnValue(statement, int(i) + 2);
    object->baseParentID_ = entity.isChild() ? sqlite3_column_int64(statement, int(count) + 2) : 0;
    object->markClean();
    object->fault_ = false;
}

bool VTRObjectContext::loadChildren(const VTREntity& child, sqlite3_stmt* statement,
                                    const Owners& owners, VTRError* error) {
    for (auto& [id, owner] : owners) {
        owner->children_.clear();
        owner->markClean();
    }
    const int parentColumn = int(child.attributes().size()) + 2;
    int rc;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
        int64_t parentID = sqlite3_column_int64(statement, parentColumn);
        auto owner = std::lower_bound(owners.begin(), owners.end(),
                                      std::pair<int64_t, VTRManagedObject*>(parentID, nullptr));
        if (owner == owners.end() || owner->first != parentID) continue;
        int64_t objectID = sqlite3_column_int64(statement, 0);
        VTRManagedObject* object = registeredObject(child, objectID);
        if (!object) {
            object = adopt(child.make());
            registered_.emplace(Key{&child, objectID}, object);
            loadRow(object, statement);
            object->parent_ = owner->second;
        }
        if (object->gone_) continue;
        std::vector<VTRManagedObject*>& children = owner->second->children_;
        if (children.empty()) children.reserve(4);  // a job usually has a few files
        children.push_back(object);
    }
    if (rc != SQLITE_DONE) {
        setError(error, coordinator_->lastError(NSSQLiteError));
        return false;
    }
    return true;
}

void VTRObjectContext::fireFault(VTRManagedObject* object) {
    const VTREntity& entity = object->entity();
    auto lock = coordinator_->lock();
    ReadTransaction transaction(*coordinator_);
    sqlite3_stmt* statement = coordinator_->statement(entity.selectByIDSQL(), nullptr);
    if (!statement) return;
    StatementScope scope(statement);
    sqlite3_bind_int64(statement, 1, object->objectID_);
    if (sqlite3_step(statement) != SQLITE_ROW) return;
    loadRow(object, statement);
    if (!entity.childEntity()) return;

    const VTREntity& child = *entity.childEntity();
    std::string childSQL = fmt::format("SELECT {} FROM \"{}\" WHERE \"{}\" = ?", child.columnList(),
                                       child.name(), child.parentColumn());
    sqlite3_stmt* childStatement = coordinator_->statement(childSQL, nullptr);
    if (!childStatement) return;
    StatementScope childScope(childStatement);
    sqlite3_bind_int64(childStatement, 1, object->objectID_);
    loadChildren(child, childStatement, {{object->objectID_, object}}, nullptr);
}

void VTRObjectContext::deleteObject(VTRManagedObject* object) {
    if (!object || object->gone_ || object->context_ != this) return;
    object->deleted_ = true;
    for (VTRManagedObject* child : object->children_) child->deleted_ = true;
}

bool VTRObjectContext::hasChanges() const {
    return std::any_of(objects_.begin(), objects_.end(),
                       [](const auto& object) { return object->hasChanges(); });
}

bool VTRObjectContext::save(VTRError* error) {
    // Sort the pending work. A child record outside every owner's list has no place in the
    // store: a new one is dropped, a stored one deleted.
    std::vector<VTRManagedObject*> inserts, updates, deletes, dropped;
    for (const auto& owned : objects_) {
        VTRManagedObject* object = owned.get();
        if (object->gone_ || (object->fault_ && !object->deleted_)) continue;
        bool orphan = object->entity().isChild() && !object->parent_;
        if (object->deleted_ || orphan) {
            (object->inserted_ ? dropped : deletes).push_back(object);
        } else if (object->inserted_) {
            inserts.push_back(object);
        } else if (object->attributesChanged() ||
                   (object->entity().isChild() &&
                    (object->parent_->inserted_ ||
                     object->parent_->objectID_ != object->baseParentID_))) {
            updates.push_back(object);
        }
    }

    std::vector<VTRError> violations;
    for (VTRManagedObject* object : inserts) object->collectValidationErrors(violations);
    for (VTRManagedObject* object : updates) object->collectValidationErrors(violations);
    if (!violations.empty()) {
        setError(error, validationError(std::move(violations)));
        return false;
    }

    std::unordered_map<VTRManagedObject*, int64_t> newIDs;
    {
        auto lock = coordinator_->lock();
        sqlite3* db = coordinator_->connection();
        if (!runSQL(*coordinator_, "BEGIN IMMEDIATE")) {
            setError(error, coordinator_->lastError(NSPersistentStoreSaveError));
            return false;
        }
        // Leaves the transaction rolled back and reports the connection's error.
        auto fail = [&](int64_t code) {
            VTRError failure = coordinator_->lastError(code);
            runSQL(*coordinator_, "ROLLBACK");
            setError(error, std::move(failure));
            return false;
        };
        auto bindRecord = [](sqlite3_stmt* statement, VTRManagedObject* object, int64_t parentID) {
            int index = 1;
            for (const VTRAttributeValue& value : object->values_)
                bindValue(statement, index++, value);
            if (object->entity().isChild()) sqlite3_bind_int64(statement, index, parentID);
        };

        auto parentIDOf = [&](VTRManagedObject* object) -> int64_t {
            VTRManagedObject* parent = object->parent_;
            if (!parent) return 0;
            return parent->inserted_ ? newIDs[parent] : parent->objectID_;
        };

        // Owners before children, so a new child can name its new owner.
        std::stable_partition(inserts.begin(), inserts.end(),
                              [](VTRManagedObject* object) { return !object->entity().isChild(); });
        for (VTRManagedObject* object : inserts) {
            sqlite3_stmt* statement =
                coordinator_->statement(object->entity().insertSQL(), nullptr);
            if (!statement) return fail(NSPersistentStoreSaveError);
            StatementScope scope(statement);
            bindRecord(statement, object, parentIDOf(object));
            if (sqlite3_step(statement) != SQLITE_DONE) return fail(NSPersistentStoreSaveError);
            newIDs[object] = sqlite3_last_insert_rowid(db);
        }

        // Optimistic locking: a row whose version moved on since it was read is a conflict.
        VTRArray conflicts;
        for (VTRManagedObject* object : updates) {
            const VTREntity& entity = object->entity();
            // Only the changed columns: an unchanged indexed column costs no index update.
            const VTRAttributeValues& base = object->baseValues();
            std::string sql = fmt::format("UPDATE \"{}\" SET ", entity.name());
            std::vector<const VTRAttributeValue*> changed;
            for (size_t i = 0; i < base.size(); ++i) {
                if (object->values_[i] == base[i]) continue;
                sql += fmt::format("\"{}\" = ?, ", entity.attributes()[i]);
                changed.push_back(&object->values_[i]);
            }
            int64_t parentID = parentIDOf(object);
            bool parentChanged = entity.isChild() && parentID != object->baseParentID_;
            if (parentChanged) sql += fmt::format("\"{}\" = ?, ", entity.parentColumn());
            sql += "version = version + 1 WHERE pk = ? AND version = ?";
            sqlite3_stmt* statement = coordinator_->statement(sql, nullptr);
            if (!statement) return fail(NSPersistentStoreSaveError);
            StatementScope scope(statement);
            int index = 1;
            for (const VTRAttributeValue* value : changed) bindValue(statement, index++, *value);
            if (parentChanged) sqlite3_bind_int64(statement, index++, parentID);
            sqlite3_bind_int64(statement, index++, object->objectID_);
            sqlite3_bind_int64(statement, index, object->version_);
            if (sqlite3_step(statement) != SQLITE_DONE) return fail(NSPersistentStoreSaveError);
            if (sqlite3_changes(db) == 1) continue;

            sqlite3_stmt* select = coordinator_->statement(entity.selectByIDSQL(), nullptr);
            if (!select) return fail(NSPersistentStoreSaveError);
            StatementScope selectScope(select);
            sqlite3_bind_int64(select, 1, object->objectID_);
            int rc = sqlite3_step(select);
            if (rc != SQLITE_ROW && rc != SQLITE_DONE) return fail(NSPersistentStoreSaveError);
            VTRDictionary conflict;
            conflict[VTRConflictEntityKey] = entity.name();
            conflict[VTRConflictObjectKey] = object->objectID_;
            conflict[VTRConflictSnapshotKey] = snapshotDictionary(entity, object->baseValues());
            conflict[VTRConflictCachedRowKey] =
                rc == SQLITE_ROW
                    ? VTRValue(snapshotDictionary(entity, readRow(entity, select).values))
                    : VTRValue();
            conflicts.push_back(std::move(conflict));
        }
        if (!conflicts.empty()) {
            runSQL(*coordinator_, "ROLLBACK");
            VTRError conflict = VTRError::withDescription(
                NSCocoaErrorDomain, NSManagedObjectMergeError, "Could not merge changes.");
            conflict.mutableUserInfo()[VTRConflictListKey] = VTRValue(std::move(conflicts));
            setError(error, std::move(conflict));
            return false;
        }

        for (VTRManagedObject* object : deletes) {
            const VTREntity& entity = object->entity();
            if (const VTREntity* child = entity.childEntity()) {
                std::string sql = fmt::format("DELETE FROM \"{}\" WHERE \"{}\" = ?", child->name(),
                                              child->parentColumn());
                sqlite3_stmt* statement = coordinator_->statement(sql, nullptr);
                if (!statement) return fail(NSPersistentStoreSaveError);
                StatementScope scope(statement);
                sqlite3_bind_int64(statement, 1, object->objectID_);
                if (sqlite3_step(statement) != SQLITE_DONE) return fail(NSPersistentStoreSaveError);
            }
            std::string sql = fmt::format("DELETE FROM \"{}\" WHERE pk = ?", entity.name());
            sqlite3_stmt* statement = coordinator_->statement(sql, nullptr);
            if (!statement) return fail(NSPersistentStoreSaveError);
            StatementScope scope(statement);
            sqlite3_bind_int64(statement, 1, object->objectID_);
            if (sqlite3_step(statement) != SQLITE_DONE) return fail(NSPersistentStoreSaveError);
        }

        if (!runSQL(*coordinator_, "COMMIT")) return fail(NSPersistentStoreSaveError);
    }

    // Committed: what is stored now is this context's last-read state.
    for (VTRManagedObject* object : updates) ++object->version_;
    for (VTRManagedObject* object : inserts) {
        object->objectID_ = newIDs[object];
        object->version_ = 1;
        object->inserted_ = false;
        registered_.emplace(Key{&object->entity(), object->objectID_}, object);
    }
    deletes.insert(deletes.end(), dropped.begin(), dropped.end());
    forget(deletes);
    for (const auto& object : objects_) {
        if (object->gone_) continue;
        object->markClean();
        if (object->parent_) object->baseParentID_ = object->parent_->objectID_;
        object->validationErrors_.clear();
    }
    return true;
}

void VTRObjectContext::forget(const std::vector<VTRManagedObject*>& objects) {
    // The records and, for owners, their children. A save may drop tens of thousands of files:
    // they leave the member lists in one sweep, not one scan each.
    std::unordered_set<VTRManagedObject*> forgotten;
    std::vector<VTRManagedObject*> pending(objects.begin(), objects.end());
    while (!pending.empty()) {
        VTRManagedObject* object = pending.back();
        pending.pop_back();
        if (object->gone_) continue;
        object->gone_ = true;
        object->deleted_ = true;
        if (!object->inserted_) registered_.erase(Key{&object->entity(), object->objectID_});
        forgotten.insert(object);
        pending.insert(pending.end(), object->children_.begin(), object->children_.end());
        object->children_.clear();
    }
    if (forgotten.empty()) return;
    // Gone from the store: out of every current and last-read member list.
    auto isForgotten = [&](VTRManagedObject* object) { return forgotten.count(object) > 0; };
    for (const auto& owner : objects_) {
        if (owner->entity().isChild()) continue;
        std::erase_if(owner->children_, isForgotten);
        if (owner->childrenTouched_) std::erase_if(owner->baseChildren_, isForgotten);
    }
    for (VTRManagedObject* object : forgotten) object->parent_ = nullptr;
}

void VTRObjectContext::rollback() {
    for (const auto& object : objects_) {
        if (object->gone_) continue;
        if (object->inserted_) {
            object->gone_ = true;
            object->deleted_ = true;
            object->children_.clear();
            object->parent_ = nullptr;
            continue;
        }
        object->deleted_ = false;
        if (!object->snapshot_.empty()) object->values_ = std::move(object->snapshot_);
        if (object->childrenTouched_) object->children_ = std::move(object->baseChildren_);
        object->markClean();
        object->parent_ = nullptr;
        object->validationErrors_.clear();
    }
    for (const auto& object : objects_) {
        if (object->gone_) continue;
        for (VTRManagedObject* child : object->children_) child->parent_ = object.get();
    }
}

bool VTRObjectContext::refreshObject(VTRManagedObject* object, bool mergeChanges, VTRError* error) {
    if (!object || object->gone_ || object->inserted_) return true;
    const VTREntity& entity = object->entity();
    std::optional<Row> row;
    {
        auto lock = coordinator_->lock();
        sqlite3_stmt* statement = coordinator_->statement(entity.selectByIDSQL(), error);
        if (!statement) return false;
        StatementScope scope(statement);
        sqlite3_bind_int64(statement, 1, object->objectID_);
        int rc = sqlite3_step(statement);
        if (rc == SQLITE_ROW) {
            row = readRow(entity, statement);
        } else if (rc != SQLITE_DONE) {
            setError(error, coordinator_->lastError(NSSQLiteError));
            return false;
        }
    }
    if (!row) {
        forget({object});
        return true;
    }
    if (object->fault_) {
        // Nothing changed here yet: load the whole record with its children.
        fireFault(object);
        return true;
    }
    // The stored row becomes the new base; with merging, attributes changed here stay changed.
    const VTRAttributeValues& base = object->baseValues();
    VTRAttributeValues merged = row->values;
    if (mergeChanges) {
        for (size_t i = 0; i < merged.size(); ++i) {
            if (object->values_[i] != base[i]) merged[i] = object->values_[i];
        }
    }
    object->values_ = std::move(merged);
    object->snapshot_.clear();
    if (object->values_ != row->values) object->snapshot_ = std::move(row->values);
    object->version_ = row->version;
    if (!object->parent_ || object->parent_->objectID_ == row->parentID)
        object->baseParentID_ = row->parentID;
    return true;
}

}  // namespace vtr
