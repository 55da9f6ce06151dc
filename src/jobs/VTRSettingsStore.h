// VTRSettingsStore: the daemon's settings kept in the job database, one text value per name.
// Reads and writes go through the coordinator's lock, so any thread may use one.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "foundation/VTRError.h"

namespace vtr {

class VTRStoreCoordinator;

class VTRSettingsStore {
  public:
    explicit VTRSettingsStore(std::shared_ptr<VTRStoreCoordinator> coordinator);

    // The value stored under `name`; nothing when there is none or the read failed (`error`).
    std::optional<std::string> value(const std::string& name, VTRError* error = nullptr) const;
    // Stores `value` under `name`, or removes the name when `value` is empty. Changes applied
    // together commit together.
    bool setValues(const std::map<std::string, std::optional<std::string>>& values,
                   VTRError* error = nullptr);

  private:
    std::shared_ptr<VTRStoreCoordinator> coordinator_;
};

}  // namespace vtr
