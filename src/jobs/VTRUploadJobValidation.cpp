#include "jobs/VTRUploadJobValidation.h"

#include <algorithm>
#include <cctype>
#include <string_view>

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

// The upload service speaks HTTP; any other scheme would hand the job's session and
// credentials to whatever else libcurl can reach (files, gopher, dict, ...).
bool isHTTPURL(std::string_view url) {
    for (std::string_view scheme : {"http://", "https://"}) {
        if (url.size() > scheme.size() &&
            std::equal(scheme.begin(), scheme.end(), url.begin(), [](char a, char b) {
                return a == std::tolower(static_cast<unsigned char>(b));
            }))
            return true;
    }
    return false;
}

// "server_url", when a string (and, unless `emptyAllowed`, not empty), must be an http(s) URL.
void checkServerURL(const json& dictionary, bool emptyAllowed, std::vector<VTRError>& errors) {
    auto found = dictionary.find("server_url");
    if (found == dictionary.end() || !found->is_string()) return;
    const std::string& url = found->get_ref<const std::string&>();
    if ((url.empty() && emptyAllowed) || isHTTPURL(url)) return;
    errors.push_back(VTRUploadJobValidation::validationError(
        "server_url", "The value of \"server_url\" must be an http:// or https:// URL."));
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
    checkServerURL(dictionary, false, errors);
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
    checkServerURL(dictionary, true, errors);
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
    if (fileList.size() > kMaxFilesPerJob) {
        return {validationError("file_list",
                                fmt::format("A job may list at most {} files; this one lists {}.",
                                            kMaxFilesPerJob, fileList.size()))};
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
