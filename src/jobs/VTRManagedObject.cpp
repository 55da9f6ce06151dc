#include "jobs/VTRManagedObject.h"

#include <algorithm>
#include <unordered_set>
#include <utility>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "jobs/VTRObjectContext.h"

namespace vtr {

VTREntity::VTREntity(std::string name, std::vector<std::string> attributes, Factory make,
                     const VTREntity* childEntity, std::string parentColumn)
    : name_(std::move(name)),
      attributes_(std::move(attributes)),
      make_(make),
      childEntity_(childEntity),
      parentColumn_(std::move(parentColumn)) {
    // Stored columns in statement order: the attributes, then the owner reference if any.
    std::vector<std::string> columns = attributes_;
    if (isChild()) columns.push_back(parentColumn_);

    columnList_ = "pk, version";
    std::string placeholders = "1";
    for (const std::string& column : columns) {
        columnList_ += ", \"" + column + "\"";
        placeholders += ", ?";
    }
    std::string names = columnList_.substr(std::string("pk, version, ").size());
    insertSQL_ =
        fmt::format("INSERT INTO \"{}\" (version, {}) VALUES ({})", name_, names, placeholders);
    selectSQL_ = fmt::format("SELECT {} FROM \"{}\"", columnList_, name_);
    selectByIDSQL_ = selectSQL_ + " WHERE pk = ?";
    if (isChild())
        selectByOwnerSQL_ = fmt::format("{} WHERE \"{}\" = ?", selectSQL_, parentColumn_);
}

int VTREntity::attributeIndex(std::string_view attribute) const {
    for (size_t i = 0; i < attributes_.size(); ++i) {
        if (attributes_[i] == attribute) return static_cast<int>(i);
    }
    return -1;
}

VTRManagedObject::VTRManagedObject(const VTREntity& entity)
    : entity_(&entity), values_(entity.attributes().size()) {}

VTRManagedObject::~VTRManagedObject() = default;

bool VTRManagedObject::hasChanges() const {
    if (gone_) return false;
    if (inserted_ || deleted_) return true;
    if (fault_) return false;
    if (attributesChanged()) return true;
    if (entity_->isChild() && (parent_ ? parent_->objectID_ : 0) != baseParentID_) return true;
    return childrenChanged();
}

void VTRManagedObject::touchChildren() {
    if (childrenTouched_) return;
    baseChildren_ = children_;
    childrenTouched_ = true;
}

void VTRManagedObject::markClean() {
    snapshot_.clear();
    baseChildren_.clear();
    childrenTouched_ = false;
}

bool VTRManagedObject::childrenChanged() const {
    if (!childrenTouched_) return false;
    if (children_.size() != baseChildren_.size()) return true;
    std::unordered_set<VTRManagedObject*> base(baseChildren_.begin(), baseChildren_.end());
    return std::any_of(children_.begin(), children_.end(),
                       [&](VTRManagedObject* child) { return base.count(child) == 0; });
}

VTRAttributeValue VTRManagedObject::valueForKey(std::string_view attribute) const {
    int index = entity_->attributeIndex(attribute);
    if (index < 0) return {};
    return value(index);
}

VTRAttributeValue VTRManagedObject::committedValueForKey(std::string_view attribute) const {
    int index = entity_->attributeIndex(attribute);
    if (index < 0) return {};
    fireFault();
    return baseValues()[static_cast<size_t>(index)];
}

void VTRManagedObject::setValueForKey(std::string_view attribute, VTRAttributeValue value) {
    int index = entity_->attributeIndex(attribute);
    if (index >= 0) setValue(index, std::move(value));
}

void VTRManagedObject::addValidationError(VTRError error) {
    validationErrors_.push_back(std::move(error));
}

void VTRManagedObject::fireFault() const {
    if (fault_ && context_) context_->fireFault(const_cast<VTRManagedObject*>(this));
}

void VTRManagedObject::fireChildrenFault() const {
    fireFault();
    if (childrenFault_ && context_)
        context_->fireChildrenFault(const_cast<VTRManagedObject*>(this));
}

const VTRAttributeValue& VTRManagedObject::value(int index) const {
    fireFault();
    return values_[static_cast<size_t>(index)];
}

void VTRManagedObject::setValue(int index, VTRAttributeValue value) {
    fireFault();
    if (snapshot_.empty()) snapshot_ = values_;
    values_[static_cast<size_t>(index)] = std::move(value);
}

std::optional<std::string> VTRManagedObject::stringValue(int index) const {
    const VTRAttributeValue& stored = value(index);
    if (const auto* text = std::get_if<std::string>(&stored)) return *text;
    return std::nullopt;
}

int64_t VTRManagedObject::integerValue(int index) const {
    const VTRAttributeValue& stored = value(index);
    if (const auto* number = std::get_if<int64_t>(&stored)) return *number;
    return 0;
}

void VTRManagedObject::setStringValue(int index, std::optional<std::string> value) {
    if (value) {
        setValue(index, std::move(*value));
    } else {
        setValue(index, std::monostate{});
    }
}

void VTRManagedObject::setIntegerValue(int index, int64_t value) {
    setValue(index, value);
}

const std::vector<VTRManagedObject*>& VTRManagedObject::children() const {
    fireChildrenFault();
    return children_;
}

void VTRManagedObject::setChildren(std::vector<VTRManagedObject*> children) {
    fireChildrenFault();
    // A set: each record once, in the order first given.
    std::vector<VTRManagedObject*> unique;
    unique.reserve(children.size());
    std::unordered_set<VTRManagedObject*> seen;
    seen.reserve(children.size());
    for (VTRManagedObject* child : children) {
        if (child && seen.insert(child).second) unique.push_back(child);
    }
    touchChildren();
    for (VTRManagedObject* child : children_) {
        if (child->parent_ == this) child->parent_ = nullptr;
    }
    for (VTRManagedObject* child : unique) {
        if (child->parent_ && child->parent_ != this) {
            child->parent_->touchChildren();
            auto& siblings = child->parent_->children_;
            siblings.erase(std::remove(siblings.begin(), siblings.end(), child), siblings.end());
        }
        child->parent_ = this;
    }
    children_ = std::move(unique);
}

bool VTRManagedObject::needsUpdate() const {
    if (attributesChanged()) return true;
    return entity_->isChild() && parent_ &&
           (parent_->inserted_ || parent_->objectID_ != baseParentID_);
}

void VTRManagedObject::awakeAsInserted() {
    inserted_ = true;
    awakeFromInsert();
}

void VTRManagedObject::mergeStored(VTRAttributeValues stored, int64_t version, int64_t parentID,
                                   bool mergeChanges) {
    const VTRAttributeValues& base = baseValues();
    VTRAttributeValues merged = stored;
    if (mergeChanges) {
        for (size_t i = 0; i < merged.size(); ++i) {
            if (values_[i] != base[i]) merged[i] = values_[i];
        }
    }
    values_ = std::move(merged);
    snapshot_.clear();
    if (values_ != stored) snapshot_ = std::move(stored);
    version_ = version;
    if (!parent_ || parent_->objectID_ == parentID) baseParentID_ = parentID;
}

void VTRManagedObject::clearLoadedChildren() {
    children_.clear();
    baseChildren_.clear();
    childrenTouched_ = false;
    childrenFault_ = false;
}

void VTRManagedObject::appendLoadedChild(VTRManagedObject* child) {
    if (children_.empty()) children_.reserve(4);  // a job usually has a few files
    children_.push_back(child);
}

void VTRManagedObject::markDeleted() {
    deleted_ = true;
    for (VTRManagedObject* child : children_) child->deleted_ = true;
}

void VTRManagedObject::didInsert(int64_t objectID) {
    objectID_ = objectID;
    version_ = 1;
    inserted_ = false;
}

void VTRManagedObject::markSaved() {
    markClean();
    if (parent_) baseParentID_ = parent_->objectID_;
    validationErrors_.clear();
}

std::vector<VTRManagedObject*> VTRManagedObject::markGone() {
    gone_ = true;
    deleted_ = true;
    parent_ = nullptr;
    return std::exchange(children_, {});
}

void VTRManagedObject::removeChildren(const std::unordered_set<VTRManagedObject*>& gone) {
    auto isGone = [&](VTRManagedObject* object) { return gone.count(object) > 0; };
    std::erase_if(children_, isGone);
    if (childrenTouched_) std::erase_if(baseChildren_, isGone);
}

void VTRManagedObject::revertToBase() {
    parent_ = nullptr;
    if (inserted_) {
        gone_ = true;
        deleted_ = true;
        children_.clear();
        return;
    }
    deleted_ = false;
    if (!snapshot_.empty()) values_ = std::move(snapshot_);
    if (childrenTouched_) children_ = std::move(baseChildren_);
    markClean();
    validationErrors_.clear();
}

void VTRManagedObject::relinkChildren() {
    for (VTRManagedObject* child : children_) child->parent_ = this;
}

void VTRManagedObject::collectValidationErrors(std::vector<VTRError>& errors) const {
    if (validationErrors_.empty()) {
        validateForSave(errors);
    } else {
        errors.insert(errors.end(), validationErrors_.begin(), validationErrors_.end());
    }
}

}  // namespace vtr
