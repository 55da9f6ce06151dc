// The validation model of upload jobs, in one place: what a job input object (the control API's
// JSON body) and a stored job must satisfy. Every violation is a "NSCocoaErrorDomain" validation
// error (1570); a save reports one as it is and several as 1560. Pure functions; any thread.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "foundation/VTRError.h"

namespace vtr {

class VTRManagedUploadFile;
class VTRManagedUploadJob;

class VTRUploadJobValidation {
  public:
    VTRUploadJobValidation() = delete;

    // The most files one job may list; a longer list is refused. Creating and starting a job
    // this long keeps the control API's one thread busy for just under a second (Release
    // build), and every other request waits meanwhile: 40,000 files already took 1-1.5 s.
    static constexpr size_t kMaxFilesPerJob = 30000;

    // Creating: an object with a string "id" and a string "server_url" that is an http or https
    // URL; "session_id", "state" and "credentials" strings when present (never null);
    // "file_list" as below.
    static std::vector<VTRError> creationInputErrors(const nlohmann::json& dictionary);
    // Updating: "state", "session_id", "server_url" strings unless null, a non-empty
    // "server_url" an http or https URL; "restarting" a boolean or a number unless null;
    // "file_list" as below. "id" and "credentials" are not read.
    static std::vector<VTRError> updateInputErrors(const nlohmann::json& dictionary);
    // "file_list", unless null: an array of at most kMaxFilesPerJob objects, each with a string
    // "local_path" and a string "remote_path".
    static std::vector<VTRError> fileListInputErrors(const nlohmann::json& fileList);

    // A stored job needs its jobID; a stored file its localPath and remotePath.
    static void validateJob(const VTRManagedUploadJob& job, std::vector<VTRError>& errors);
    static void validateFile(const VTRManagedUploadFile& file, std::vector<VTRError>& errors);

    // A validation error (1570) about `key`, with a readable description.
    static VTRError validationError(const std::string& key, const std::string& description);
};

}  // namespace vtr
