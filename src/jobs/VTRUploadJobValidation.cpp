#include "jobs/VTRUploadJobValidation.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "jobs/VTRManagedUploadFile.h"
#include "jobs/VTRManagedUploadJob.h"
#include "jobs/VTRObjectContext.h"

namespace vtr {

namespace {

using json = nlohmann::json;

VTRError mustBeString(const std::string& key) {
    return VTRUploadJobValidation::validationError(
        key, fmt::format("The value of \"{}\" must be a string.", key));
}

VTRError isRequired(const std::string& key) {
    return VTRUploadJobValidation::validationError(key,
                                                   fmt::format("\"{}\" is a required value.", key));
}

// A key that, when present, must hold a string (and, unless `nullAllowed`, not null).
void checkOptionalString(const json& dictionary, const char* key, bool nullAllowed,
                         std::vector<VTRError>& errors) {
    auto found = dictionary.find(key);
    if (found == dictionary.end() || found->is_string()) return;
    if (found->is_null() && nullAllowed) return;
    errors.push_back(mustBeString(key));
}

void checkRequiredString(const json& dictionary, const char* key, std::vector<VTRError>& errors) {
    auto found = dictionary.find(key);
    if (found == dictionary.end()) {
        errors.push_back(isRequired(key));
    } else if (!found->is_string()) {
        errors.push_back(mustBeString(key));
    }
}

std::vector<VTRError> notAnObject() {
    return {VTRUploadJobValidation::validationError(
        "", "An upload job must be given as a JSON object.")};
}

}  // namespace

VTRError VTRUploadJobValidation::validationError(const std::string& key,
                                                 const std::string& description) {
    VTRError error = VTRError::withDescription(
        NSCocoaErrorDomain, NSValidationMissingMandatoryPropertyError, description);
    if (!key.empty()) error.mutableUserInfo()[NSValidationKeyErrorKey] = key;
    return error;
}

std::vector<VTRError> VTRUploadJobValidation::creationInputErrors(const json& dictionary) {
    if (!dictionary.is_object()) return notAnObject();
    std::vector<VTRError> errors;
    checkRequiredString(dictionary, "id", errors);
    checkOptionalString(dictionary, "session_id", false, errors);
    checkRequiredString(dictionary, "server_url", errors);
    checkOptionalString(dictionary, "state", false, errors);
    checkOptionalString(dictionary, "credentials", false, errors);
    if (auto found = dictionary.find("file_list"); found != dictionary.end()) {
        std::vector<VTRError> fileErrors = fileListInputErrors(*found);
        errors.insert(errors.end(), fileErrors.begin(), fileErrors.end());
    }
    return errors;
}

std::vector<VTRError> VTRUploadJobValidation::updateInputErrors(const json& dictionary) {
    if (!dictionary.is_object()) return notAnObject();
    std::vector<VTRError> errors;
    checkOptionalString(dictionary, "state", true, errors);
    checkOptionalString(dictionary, "session_id", true, errors);
    checkOptionalString(dictionary, "server_url", true, errors);
    if (auto found = dictionary.find("restarting"); found != dictionary.end() &&
                                                    !found->is_null() && !found->is_boolean() &&
                                                    !found->is_number()) {
        errors.push_back(
            validationError("restarting", "The value of \"restarting\" must be a boolean."));
    }
    if (auto found = dictionary.find("file_list"); found != dictionary.end()) {
        std::vector<VTRError> fileErrors = fileListInputErrors(*found);
        errors.insert(errors.end(), fileErrors.begin(), fileErrors.end());
    }
    return errors;
}

std::vector<VTRError> VTRUploadJobValidation::fileListInputErrors(const json& fileList) {
    if (fileList.is_null()) return {};
    if (!fileList.is_array()) {
        return {validationError("file_list",
                                "The value of \"file_list\" must be an array of objects.")};
    }
    std::vector<VTRError> errors;
    for (size_t i = 0; i < fileList.size(); ++i) {
        const json& file = fileList[i];
        if (!file.is_object()) {
            errors.push_back(validationError(
                "file_list", fmt::format("Element {} of \"file_list\" is not an object.", i)));
            continue;
        }
        for (const char* key : {"local_path", "remote_path"}) {
            auto found = file.find(key);
            if (found == file.end() || !found->is_string()) {
                errors.push_back(validationError(
                    key,
                    fmt::format("Element {} of \"file_list\" needs a string \"{}\".", i, key)));
            }
        }
    }
    return errors;
}

void VTRUploadJobValidation::validateJob(const VTRManagedUploadJob& job,
                                         std::vector<VTRError>& errors) {
    if (!job.jobID()) errors.push_back(isRequired("jobID"));
}

void VTRUploadJobValidation::validateFile(const VTRManagedUploadFile& file,
                                          std::vector<VTRError>& errors) {
    if (!file.localPath()) errors.push_back(isRequired("localPath"));
    if (!file.remotePath()) errors.push_back(isRequired("remotePath"));
}

}  // namespace vtr
