// The records of the persistence layer: VTREntity describes one kind of record (its table),
// VTRManagedObject is the base of the record classes. A record is created and owned by exactly
// one VTRObjectContext and is used only on the thread that uses that context.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
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

  private:
    std::string name_;
    std::vector<std::string> attributes_;
    Factory make_;
    const VTREntity* childEntity_;
    std::string parentColumn_;
    std::string columnList_, insertSQL_, selectByIDSQL_;
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
    bool hasChanges() const;

    // Generic access by attribute name (snapshots and conflict resolution use these).
    VTRAttributeValue valueForKey(std::string_view attribute) const;
    // The attribute as last read from or saved to the store, whatever was changed here since.
    VTRAttributeValue committedValueForKey(std::string_view attribute) const;
    void setValueForKey(std::string_view attribute, VTRAttributeValue value);

    // Remembers input refused while filling the record; the next save fails validation with it.
    void addValidationError(VTRError error);

  protected:
    explicit VTRManagedObject(const VTREntity& entity);

    const VTRAttributeValue& value(int index) const;
    void setValue(int index, VTRAttributeValue value);
    std::optional<std::string> stringValue(int index) const;
    int64_t integerValue(int index) const;      // 0 when the attribute holds nothing
    nlohmann::json jsonValue(int index) const;  // its text or number; null when it holds nothing
    void setStringValue(int index, std::optional<std::string> value);
    void setIntegerValue(int index, int64_t value);

    // The to-many relationship (owner side) and its inverse (child side).
    const std::vector<VTRManagedObject*>& children() const;
    void setChildren(std::vector<VTRManagedObject*> children);
    VTRManagedObject* parent() const { return parent_; }

    // Run once when the record is inserted into a context (not when fetched).
    virtual void awakeFromInsert() {}
    // Adds the record's model violations. Save runs it for inserted and changed records that
    // hold no refused input (refused input already explains what is wrong with them).
    virtual void validateForSave(std::vector<VTRError>&) const {}

  private:
    friend class VTRObjectContext;
    void fireFault() const;
    void collectValidationErrors(std::vector<VTRError>& errors) const;

    // The attributes as last read or saved; snapshot_ is taken only on the first change.
    const VTRAttributeValues& baseValues() const { return snapshot_.empty() ? values_ : snapshot_; }
    bool attributesChanged() const { return !snapshot_.empty() && values_ != snapshot_; }
    // The owner's member list as last read or saved; copied only on the first change.
    const std::vector<VTRManagedObject*>& baseChildren() const {
        return childrenTouched_ ? baseChildren_ : children_;
    }
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

}  // namespace vtr
