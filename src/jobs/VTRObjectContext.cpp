#include "jobs/VTRObjectContext.h"

#include <algorithm>
#include <unordered_set>

#include <fmt/format.h>

#include "jobs/VTRContextSave.h"
#include "jobs/VTRSQLiteStatement.h"
#include "jobs/VTRStoreCoordinator.h"

namespace vtr {

namespace {

// One stored row as read by a statement whose columns are `pk, version, <attributes> [, owner]`.
struct Row {
    int64_t version = 0;
    VTRAttributeValues values;
    int64_t parentID = 0;
};

Row readRow(const VTREntity& entity, sqlite3_stmt* statement) {
    Row row;
    row.version = sqlite3_column_int64(statement, 1);
    size_t count = entity.attributes().size();
    row.values.reserve(count);
    for (size_t i = 0; i < count; ++i)
        row.values.push_back(columnAttributeValue(statement, int(i) + 2));
    if (entity.isChild()) row.parentID = sqlite3_column_int64(statement, int(count) + 2);
    return row;
}

// Makes the record hold the current row of `statement` (columns `pk, version, <attributes>
// [, owner]`) as its clean, fully loaded state.
void loadRow(VTRManagedObject* object, sqlite3_stmt* statement) {
    const VTREntity& entity = object->entity();
    int count = int(entity.attributes().size());
    int64_t parentID = entity.isChild() ? sqlite3_column_int64(statement, count + 2) : 0;
    object->loadStored(sqlite3_column_int64(statement, 0), sqlite3_column_int64(statement, 1),
                       parentID,
                       [&](size_t i) { return columnAttributeValue(statement, int(i) + 2); });
}

}  // namespace

// The statement one execute runs.
struct VTRObjectContext::FetchQuery {
    std::string sql;
    std::string where;         // empty: every row
    bool partial = false;      // only some attributes: the records stay faults
    bool children = true;      // whole owner records come with their children
    std::vector<int> fetched;  // attribute indexes a partial fetch reads
};

size_t VTRObjectContext::KeyHash::operator()(const Key& key) const {
    return std::hash<const void*>()(key.entity) ^ std::hash<int64_t>()(key.objectID);
}

VTRObjectContext::VTRObjectContext(std::shared_ptr<VTRStoreCoordinator> coordinator)
    : coordinator_(std::move(coordinator)) {}

VTRObjectContext::~VTRObjectContext() = default;

VTRManagedObject* VTRObjectContext::adopt(std::unique_ptr<VTRManagedObject> object) {
    object->attachToContext(this);
    objects_.push_back(std::move(object));
    return objects_.back().get();
}

VTRManagedObject* VTRObjectContext::registerNew(const VTREntity& entity, int64_t objectID) {
    VTRManagedObject* object = adopt(entity.make());
    registered_.emplace(Key{&entity, objectID}, object);
    return object;
}

VTRManagedObject* VTRObjectContext::insertNewObject(const VTREntity& entity) {
    VTRManagedObject* object = adopt(entity.make());
    object->awakeAsInserted();
    return object;
}

VTRManagedObject* VTRObjectContext::registeredObject(const VTREntity& entity,
                                                     int64_t objectID) const {
    auto found = registered_.find(Key{&entity, objectID});
    return found == registered_.end() ? nullptr : found->second;
}

std::optional<std::vector<VTRManagedObject*>> VTRObjectContext::execute(
    const VTRFetchRequest& request, VTRError* error) {
    FetchQuery query = fetchQuery(request);
    std::vector<VTRManagedObject*> results;
    Owners owners;  // records whose children this fetch loads
    {
        auto lock = coordinator_->lock();
        VTRReadTransaction transaction(*coordinator_);
        if (!readRecords(request, query, results, owners, error)) return std::nullopt;
        if (!owners.empty() && !loadChildrenOf(request, query.where, owners, error))
            return std::nullopt;
    }
    addPendingChanges(request, results);
    return results;
}

VTRObjectContext::FetchQuery VTRObjectContext::fetchQuery(const VTRFetchRequest& request) {
    const VTREntity& entity = *request.entity;
    FetchQuery query;
    query.partial = !request.propertiesToFetch.empty();
    query.children = request.includesChildren;
    // Whole records (the usual fetch) take the entity's statement text as it is.
    query.sql = entity.selectSQL();
    if (query.partial) {
        std::string columns = "pk, version";
        for (const std::string& property : request.propertiesToFetch) {
            int index = entity.attributeIndex(property);
            if (index < 0) continue;
            query.fetched.push_back(index);
            columns += ", \"" + property + "\"";
        }
        query.sql = fmt::format("SELECT {} FROM \"{}\"", columns, entity.name());
    }
    if (!request.attribute.empty()) query.where = " WHERE \"" + request.attribute + "\" = ?";
    query.sql += query.where;
    return query;
}

bool VTRObjectContext::readRecords(const VTRFetchRequest& request, const FetchQuery& query,
                                   std::vector<VTRManagedObject*>& results, Owners& owners,
                                   VTRError* error) {
    sqlite3_stmt* statement = coordinator_->statement(query.sql, error);
    if (!statement) return false;
    VTRStatementScope scope(statement);
    if (!query.where.empty()) bindAttributeValue(statement, 1, request.value);
    int rc;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW)
        results.push_back(recordForRow(*request.entity, query, statement, owners));
    if (rc != SQLITE_DONE) {
        setError(error, coordinator_->lastError(NSSQLiteError));
        return false;
    }
    return true;
}

VTRManagedObject* VTRObjectContext::recordForRow(const VTREntity& entity, const FetchQuery& query,
                                                 sqlite3_stmt* statement, Owners& owners) {
    int64_t objectID = sqlite3_column_int64(statement, 0);
    VTRManagedObject* object = registeredObject(entity, objectID);
    // A record known here stays as it is, unless a whole-record fetch meets a fault.
    if (object && !(object->isFault() && !query.partial)) return object;
    if (query.partial) {
        object = registerNew(entity, objectID);
        object->loadFault(objectID, sqlite3_column_int64(statement, 1), query.fetched,
                          [&](size_t k) { return columnAttributeValue(statement, int(k) + 2); });
        return object;
    }
    if (!object) object = registerNew(entity, objectID);
    loadRow(object, statement);
    if (entity.childEntity()) {
        if (query.children)
            owners.emplace_back(objectID, object);
        else
            object->markChildrenFault();
    }
    return object;
}

bool VTRObjectContext::loadChildrenOf(const VTRFetchRequest& request, const std::string& where,
                                      Owners& owners, VTRError* error) {
    // One owner (a job fetched by its id): its key is known, and a subquery would cost SQLite a
    // temporary table per fetch.
    if (owners.size() == 1) return loadChildrenOfOwner(owners.front().second, {}, {}, error);
    std::sort(owners.begin(), owners.end());
    const VTREntity& entity = *request.entity;
    const VTREntity& child = *entity.childEntity();
    std::string childWhere = where.empty()
                                 ? fmt::format("\"{}\" IS NOT NULL", child.parentColumn())
                                 : fmt::format("\"{}\" IN (SELECT pk FROM \"{}\"{})",
                                               child.parentColumn(), entity.name(), where);
    std::string sql =
        fmt::format("SELECT {} FROM \"{}\" WHERE {}", child.columnList(), child.name(), childWhere);
    sqlite3_stmt* statement = coordinator_->statement(sql, error);
    if (!statement) return false;
    VTRStatementScope scope(statement);
    if (!where.empty()) bindAttributeValue(statement, 1, request.value);
    return loadChildren(child, statement, owners, error);
}

void VTRObjectContext::addPendingChanges(const VTRFetchRequest& request,
                                         std::vector<VTRManagedObject*>& results) const {
    // Pending deletions and insertions of this context count as if saved.
    std::erase_if(results, [](VTRManagedObject* object) { return object->isDeleted(); });
    const VTREntity& entity = *request.entity;
    int attribute = request.attribute.empty() ? -1 : entity.attributeIndex(request.attribute);
    for (const auto& object : objects_) {
        if (!object->isInserted() || object->isGone() || object->isDeleted() ||
            &object->entity() != &entity)
            continue;
        if (attribute < 0 || object->values()[size_t(attribute)] == request.value)
            results.push_back(object.get());
    }
}

bool VTRObjectContext::loadChildren(const VTREntity& child, sqlite3_stmt* statement,
                                    const Owners& owners, VTRError* error, bool partial) {
    if (!partial)
        for (auto& [id, owner] : owners) owner->clearLoadedChildren();
    const int parentColumn = int(child.attributes().size()) + 2;
    int rc;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
        int64_t parentID = sqlite3_column_int64(statement, parentColumn);
        auto owner = std::lower_bound(owners.begin(), owners.end(),
                                      std::pair<int64_t, VTRManagedObject*>(parentID, nullptr));
        if (owner == owners.end() || owner->first != parentID) continue;
        int64_t objectID = sqlite3_column_int64(statement, 0);
        VTRManagedObject* object = registeredObject(child, objectID);
        // A child loaded before is in its owner's list already.
        if (partial && object) continue;
        if (!object) {
            object = registerNew(child, objectID);
            loadRow(object, statement);
            object->setLoadedParent(owner->second);
        }
        if (object->isGone()) continue;
        owner->second->appendLoadedChild(object);
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
    VTRReadTransaction transaction(*coordinator_);
    sqlite3_stmt* statement = coordinator_->statement(entity.selectByIDSQL(), nullptr);
    if (!statement) return;
    VTRStatementScope scope(statement);
    sqlite3_bind_int64(statement, 1, object->objectID());
    if (sqlite3_step(statement) != SQLITE_ROW) return;
    loadRow(object, statement);
    if (entity.childEntity()) loadChildrenOfOwner(object, {}, {}, nullptr);
}

void VTRObjectContext::fireChildrenFault(VTRManagedObject* object) {
    auto lock = coordinator_->lock();
    VTRReadTransaction transaction(*coordinator_);
    loadChildrenOfOwner(object, {}, {}, nullptr);
}

bool VTRObjectContext::loadChildrenOfOwner(VTRManagedObject* owner, const std::string& condition,
                                           const VTRAttributeValues& values, VTRError* error) {
    const VTREntity& child = *owner->entity().childEntity();
    std::string sql = child.selectByOwnerSQL();
    if (!condition.empty()) sql += " AND (" + condition + ")";
    sqlite3_stmt* statement = coordinator_->statement(sql, error);
    if (!statement) return false;
    VTRStatementScope scope(statement);
    sqlite3_bind_int64(statement, 1, owner->objectID());
    for (size_t i = 0; i < values.size(); ++i) bindAttributeValue(statement, int(i) + 2, values[i]);
    return loadChildren(child, statement, {{owner->objectID(), owner}}, error,
                        /*partial=*/!condition.empty());
}

std::optional<std::vector<VTRManagedObject*>> VTRObjectContext::childrenWithValue(
    VTRManagedObject& owner, const std::string& attribute, const VTRAttributeValue& value,
    VTRError* error) {
    const VTREntity& child = *owner.entity().childEntity();
    int index = child.attributeIndex(attribute);
    if (index < 0) return std::vector<VTRManagedObject*>();
    if (owner.isFault()) fireFault(&owner);  // loads every child
    if (owner.hasChildrenFault()) {
        auto lock = coordinator_->lock();
        VTRReadTransaction transaction(*coordinator_);
        std::string condition = fmt::format("\"{}\" = ?", attribute);
        if (!loadChildrenOfOwner(&owner, condition, {value}, error)) return std::nullopt;
    }
    // The owner's list now holds every child that may match: those stored with the value and
    // those loaded before, whose values may have changed here.
    std::vector<VTRManagedObject*> matches;
    for (VTRManagedObject* object : owner.loadedChildren())
        if (object->values()[size_t(index)] == value) matches.push_back(object);
    return matches;
}

std::optional<bool> VTRObjectContext::hasStoredChild(const VTRManagedObject& owner,
                                                     const std::string& condition,
                                                     const VTRAttributeValues& values,
                                                     VTRError* error) {
    if (owner.isInserted()) return false;
    const VTREntity& child = *owner.entity().childEntity();
    std::string sql = fmt::format("SELECT 1 FROM \"{}\" WHERE \"{}\" = ? AND ({}) LIMIT 1",
                                  child.name(), child.parentColumn(), condition);
    auto lock = coordinator_->lock();
    sqlite3_stmt* statement = coordinator_->statement(sql, error);
    if (!statement) return std::nullopt;
    VTRStatementScope scope(statement);
    sqlite3_bind_int64(statement, 1, owner.objectID());
    for (size_t i = 0; i < values.size(); ++i) bindAttributeValue(statement, int(i) + 2, values[i]);
    int rc = sqlite3_step(statement);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    setError(error, coordinator_->lastError(NSSQLiteError));
    return std::nullopt;
}

void VTRObjectContext::deleteObject(VTRManagedObject* object) {
    if (!object || object->isGone() || object->managedObjectContext() != this) return;
    // Every child is marked with its owner, so none is left to save.
    if (object->hasChildrenFault()) fireChildrenFault(object);
    object->markDeleted();
}

bool VTRObjectContext::hasChanges() const {
    return std::any_of(objects_.begin(), objects_.end(),
                       [](const auto& object) { return object->hasChanges(); });
}

bool VTRObjectContext::save(VTRError* error) {
    VTRContextSave save(*coordinator_, objects_);
    if (!save.validate(error) || !save.write(error)) return false;
    didSave(save);
    return true;
}

void VTRObjectContext::didSave(const VTRContextSave& save) {
    // Committed: what is stored now is this context's last-read state.
    for (VTRManagedObject* object : save.updates()) object->didUpdate();
    for (VTRManagedObject* object : save.inserts()) {
        object->didInsert(save.newObjectID(object));
        registered_.emplace(Key{&object->entity(), object->objectID()}, object);
    }
    forget(save.removed());
    for (const auto& object : objects_) {
        if (!object->isGone()) object->markSaved();
    }
}

void VTRObjectContext::forget(const std::vector<VTRManagedObject*>& objects) {
    // The records and, for owners, their children. A save may drop tens of thousands of files:
    // they leave the member lists in one sweep, not one scan each.
    std::unordered_set<VTRManagedObject*> forgotten;
    std::vector<VTRManagedObject*> pending(objects.begin(), objects.end());
    while (!pending.empty()) {
        VTRManagedObject* object = pending.back();
        pending.pop_back();
        if (object->isGone()) continue;
        if (!object->isInserted()) registered_.erase(Key{&object->entity(), object->objectID()});
        forgotten.insert(object);
        std::vector<VTRManagedObject*> children = object->markGone();
        pending.insert(pending.end(), children.begin(), children.end());
    }
    if (forgotten.empty()) return;
    // Gone from the store: out of every current and last-read member list.
    for (const auto& owner : objects_) {
        if (!owner->entity().isChild()) owner->removeChildren(forgotten);
    }
}

void VTRObjectContext::rollback() {
    for (const auto& object : objects_) {
        if (!object->isGone()) object->revertToBase();
    }
    for (const auto& object : objects_) {
        if (!object->isGone()) object->relinkChildren();
    }
}

bool VTRObjectContext::refreshObject(VTRManagedObject* object, bool mergeChanges, VTRError* error) {
    if (!object || object->isGone() || object->isInserted()) return true;
    const VTREntity& entity = object->entity();
    std::optional<Row> row;
    {
        auto lock = coordinator_->lock();
        sqlite3_stmt* statement = coordinator_->statement(entity.selectByIDSQL(), error);
        if (!statement) return false;
        VTRStatementScope scope(statement);
        sqlite3_bind_int64(statement, 1, object->objectID());
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
    if (object->isFault()) {
        // Nothing changed here yet: load the whole record with its children.
        fireFault(object);
        return true;
    }
    object->mergeStored(std::move(row->values), row->version, row->parentID, mergeChanges);
    return true;
}

}  // namespace vtr
