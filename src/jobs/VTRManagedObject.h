// The records of the persistence layer: VTREntity describes one kind of record (its table),
// VTRManagedObject is the base of the record classes. A record is created and owned by exactly
// one VTRObjectContext and is used only on the thread that uses that context.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <variant>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "foundation/VTRError.h"

namespace vtr {

class VTRManagedObject;
class VTRObjectContext;

// A stored value: nothing (SQL NULL), an integer or a text.
using VTRAttributeValue = std::variant<std::monostate, int64_t, std::string>;
using VTRAttributeValues = std::vector<VTRAttributeValue>;

// One entity of the object model. Attribute names are also the table's column names and the keys
// of conflict snapshots. An entity may own one to-many relationship to a child entity whose
// table names the owner in `parentColumn`: deleting an owner deletes its children, and a child
// taken out of its owner's list is deleted when the context saves.
class VTREntity {
  public:
    using Factory = std::unique_ptr<VTRManagedObject> (*)();
    VTREntity(std::string name, std::vector<std::string> attributes, Factory make,
              const VTREntity* childEntity = nullptr, std::string parentColumn = {});

    const std::string& name() const { return name_; }
    const std::vector<std::string>& attributes() const { return attributes_; }
    // Index of the attribute, or -1.
    int attributeIndex(std::string_view attribute) const;
    const VTREntity* childEntity() const { return childEntity_; }
    const std::string& parentColumn() const { return parentColumn_; }
    bool isChild() const { return !parentColumn_.empty(); }
    std::unique_ptr<VTRManagedObject> make() const { return make_(); }

    // SQL used by the context, built once.
    const std::string& columnList() const { return columnList_; }  // "pk, version, a, b ..."
    const std::string& insertSQL() const { return insertSQL_; }
    const std::string& selectByIDSQL() const { return selectByIDSQL_; }
    const std::string& selectSQL() const { return selectSQL_; }  // every row, no WHERE
    // A child entity's rows of one owner: "... WHERE <parentColumn> = ?".
    const std::string& selectByOwnerSQL() const { return selectByOwnerSQL_; }

  private:
    std::string name_;
    std::vector<std::string> attributes_;
    Factory make_;
    const VTREntity* childEntity_;
    std::string parentColumn_;
    std::string columnList_, insertSQL_, selectByIDSQL_, selectSQL_, selectByOwnerSQL_;
};

class VTRManagedObject {
  public:
    virtual ~VTRManagedObject();
    VTRManagedObject(const VTRManagedObject&) = delete;
    VTRManagedObject& operator=(const VTRManagedObject&) = delete;

    const VTREntity& entity() const { return *entity_; }
    VTRObjectContext* managedObjectContext() const { return context_; }
    // The row's key: 0 until the record is first saved.
    int64_t objectID() const { return objectID_; }
    bool isInserted() const { return inserted_; }
    bool isDeleted() const { return deleted_; }
    // Only some attributes were fetched; the next attribute access loads the rest.
    bool isFault() const { return fault_; }
    // Not (or no longer) in the store: a rolled-back insert, or a deleted record after the save.
    bool isGone() const { return gone_; }
    // An owner whose children are not all loaded yet: the first use of its list loads them.
    // Children loaded one by one meanwhile are already in the list.
    bool hasChildrenFault() const { return childrenFault_; }
    // The owner's children loaded so far; loads nothing.
    const std::vector<VTRManagedObject*>& loadedChildren() const { return children_; }
    bool hasChanges() const;

    // Generic access by attribute name (snapshots and conflict resolution use these).
    VTRAttributeValue valueForKey(std::string_view attribute) const;
    // The attribute as last read from or saved to the store, whatever was changed here since.
    VTRAttributeValue committedValueForKey(std::string_view attribute) const;
    void setValueForKey(std::string_view attribute, VTRAttributeValue value);

    // Remembers input refused while filling the record; the next save fails validation with it.
    void addValidationError(VTRError error);

    // The owner, for a child record; nullptr for an owner or a child out of every list.
    VTRManagedObject* parent() const { return parent_; }

    // State reads and changes for the owning VTRObjectContext; none of them loads a fault.
    // The stored row's version as last read or saved.
    int64_t version() const { return version_; }
    const VTRAttributeValues& values() const { return values_; }
    // The attributes as last read or saved; a snapshot is taken only on the first change.
    const VTRAttributeValues& baseValues() const { return snapshot_.empty() ? values_ : snapshot_; }
    // A child's owner key as last read or saved.
    int64_t baseParentID() const { return baseParentID_; }
    // A stored record whose row must be rewritten: attributes changed, or moved to a new owner.
    bool needsUpdate() const;
    void collectValidationErrors(std::vector<VTRError>& errors) const;

    void attachToContext(VTRObjectContext* context) { context_ = context; }
    // A new record: marked inserted, then given its insertion defaults.
    void awakeAsInserted();
    // Makes the record hold a stored row as its clean, fully loaded state. `read(i)` yields
    // attribute i; `parentID` is the owner's objectID for a child (else 0).
    template <typename Read>
    void loadStored(int64_t objectID, int64_t version, int64_t parentID, Read read);
    // Makes the record a fault holding only the attributes at `indexes`; `read(k)` yields the
    // value of attribute indexes[k].
    template <typename Read>
    void loadFault(int64_t objectID, int64_t version, const std::vector<int>& indexes, Read read);
    // The stored row becomes the new base. With `mergeChanges`, attributes changed here keep
    // their values; without, they take the stored ones.
    void mergeStored(VTRAttributeValues stored, int64_t version, int64_t parentID,
                     bool mergeChanges);
    // Owner side of loading children: the list is emptied, then filled child by child. Changes
    // to the owner's attributes are kept.
    void clearLoadedChildren();
    void appendLoadedChild(VTRManagedObject* child);
    // The owner was loaded without its children.
    void markChildrenFault() { childrenFault_ = true; }
    void setLoadedParent(VTRManagedObject* parent) { parent_ = parent; }
    // Marks the record, and an owner's children, for deletion at the next save.
    void markDeleted();
    // A save committed: the row now has the given key, or the next version.
    void didInsert(int64_t objectID);
    void didUpdate() { ++version_; }
    // What is stored now equals what this record holds, its owner included.
    void markSaved();
    // Gone from the store or never to reach it: deleted, out of its owner, and its children
    // (returned) out of its list.
    std::vector<VTRManagedObject*> markGone();
    // Takes the given records out of the owner's current and last-read member lists.
    void removeChildren(const std::unordered_set<VTRManagedObject*>& gone);
    // Rollback: a stored record returns to its last-read state, out of any owner until
    // relinkChildren runs on its owner; an inserted one is gone.
    void revertToBase();
    void relinkChildren();

  protected:
    explicit VTRManagedObject(const VTREntity& entity);

    const VTRAttributeValue& value(int index) const;
    void setValue(int index, VTRAttributeValue value);
    std::optional<std::string> stringValue(int index) const;
    int64_t integerValue(int index) const;  // 0 when the attribute holds nothing
    // Writes the attribute to a JSON writer: its text or number; null when it holds nothing.
    template <typename Writer>
    void writeValue(Writer& writer, int index) const;
    void setStringValue(int index, std::optional<std::string> value);
    void setIntegerValue(int index, int64_t value);

    // The to-many relationship (owner side) and its inverse (child side).
    const std::vector<VTRManagedObject*>& children() const;
    void setChildren(std::vector<VTRManagedObject*> children);

    // Run once when the record is inserted into a context (not when fetched).
    virtual void awakeFromInsert() {}
    // Adds the record's model violations. Save runs it for inserted and changed records that
    // hold no refused input (refused input already explains what is wrong with them).
    virtual void validateForSave(std::vector<VTRError>&) const {}

  private:
    void fireFault() const;
    // Loads the attributes of a fault, then the children of an owner that lacks them.
    void fireChildrenFault() const;

    bool attributesChanged() const { return !snapshot_.empty() && values_ != snapshot_; }
    void touchChildren();
    bool childrenChanged() const;
    // What is stored now equals what this record holds.
    void markClean();

    const VTREntity* entity_;
    VTRObjectContext* context_ = nullptr;
    int64_t objectID_ = 0;
    int64_t version_ = 0;  // the stored row's version as last read or saved
    bool inserted_ = false;
    bool deleted_ = false;
    bool fault_ = false;
    bool gone_ = false;
    bool childrenFault_ = false;
    VTRAttributeValues values_;
    VTRAttributeValues snapshot_;  // empty while values_ is unchanged
    // Owner side: current and last-read member lists, loaded with the record.
    std::vector<VTRManagedObject*> children_;
    std::vector<VTRManagedObject*> baseChildren_;  // meaningful only while childrenTouched_
    bool childrenTouched_ = false;
    // Child side.
    VTRManagedObject* parent_ = nullptr;
    int64_t baseParentID_ = 0;
    std::vector<VTRError> validationErrors_;
};

template <typename Read>
void VTRManagedObject::loadStored(int64_t objectID, int64_t version, int64_t parentID, Read read) {
    size_t count = entity_->attributes().size();
    objectID_ = objectID;
    version_ = version;
    values_.resize(count);
    for (size_t i = 0; i < count; ++i) values_[i] = read(i);
    baseParentID_ = parentID;
    markClean();
    fault_ = false;
}

template <typename Read>
void VTRManagedObject::loadFault(int64_t objectID, int64_t version, const std::vector<int>& indexes,
                                 Read read) {
    objectID_ = objectID;
    version_ = version;
    for (size_t k = 0; k < indexes.size(); ++k) values_[size_t(indexes[k])] = read(k);
    markClean();
    fault_ = true;
}

template <typename Writer>
void VTRManagedObject::writeValue(Writer& writer, int index) const {
    const VTRAttributeValue& stored = value(index);
    if (const auto* text = std::get_if<std::string>(&stored))
        writer.string(*text);
    else if (const auto* number = std::get_if<int64_t>(&stored))
        writer.number(*number);
    else
        writer.null();
}

}  // namespace vtr
