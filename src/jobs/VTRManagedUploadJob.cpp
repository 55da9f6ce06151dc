#include "jobs/VTRManagedUploadJob.h"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "foundation/VTRJSONTextWriter.h"
#include "foundation/VTRNullAdditions.h"
#include "jobs/VTRJSONTreeWriter.h"
#include "jobs/VTRManagedUploadFile.h"
#include "jobs/VTRObjectContext.h"
#include "jobs/VTRUploadJobValidation.h"

namespace vtr {

namespace {

using json = nlohmann::json;

enum JobAttribute {
    kJobID,
    kServerURL,
    kSessionID,
    kCredentials,
    kState,
    kErrorState,
    kError,
    kRestarting
};

const json* member(const json& dictionary, const char* key) {
    if (!dictionary.is_object()) return nullptr;
    auto found = dictionary.find(key);
    return found == dictionary.end() ? nullptr : &*found;
}

// The string value of `key` when it is a string, else nothing.
std::optional<std::string> stringMember(const json& dictionary, const char* key) {
    const json* value = member(dictionary, key);
    if (!value || !value->is_string()) return std::nullopt;
    return value->get<std::string>();
}

// A string that is not empty after trimming white space and line breaks.
std::optional<std::string> nonEmptyStringMember(const json& dictionary, const char* key) {
    std::optional<std::string> text = stringMember(dictionary, key);
    if (!text) return std::nullopt;
    VTRValue value(*text);
    if (isNullOrEmpty(&value)) return std::nullopt;
    return text;
}

bool isHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// What a URL parser accepts: only the characters URLs may hold, escapes of two hex digits, at
// most one fragment mark, and something at all.
bool parsesAsURL(const std::string& text) {
    if (text.empty()) return false;
    static const std::string allowed =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-._~:/?#[]@!$&'()*+,;=";
    int fragments = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '%') {
            if (i + 2 >= text.size() || !isHexDigit(text[i + 1]) || !isHexDigit(text[i + 2]))
                return false;
            i += 2;
        } else if (allowed.find(c) == std::string::npos) {
            return false;
        } else if (c == '#' && ++fragments > 1) {
            return false;
        }
    }
    return true;
}

std::vector<VTRManagedUploadFile*> asFiles(const std::vector<VTRManagedObject*>& objects) {
    std::vector<VTRManagedUploadFile*> files;
    files.reserve(objects.size());
    for (VTRManagedObject* object : objects)
        files.push_back(static_cast<VTRManagedUploadFile*>(object));
    return files;
}

}  // namespace

const VTREntity& VTRManagedUploadJob::entity() {
    static const VTREntity uploadJob("UploadJob",
                                     {"jobID", "serverURL", "sessionID", "credentials",
                                      "stateValue", "errorStateValue", "error", "restartingValue"},
                                     &VTRManagedUploadJob::make, &VTRManagedUploadFile::entity());
    return uploadJob;
}

VTRManagedUploadJob::VTRManagedUploadJob() : VTRManagedObject(entity()) {}

std::unique_ptr<VTRManagedObject> VTRManagedUploadJob::make() {
    return std::unique_ptr<VTRManagedObject>(new VTRManagedUploadJob());
}

VTRManagedUploadJob* VTRManagedUploadJob::newInstance(VTRObjectContext& context) {
    return static_cast<VTRManagedUploadJob*>(context.insertNewObject(entity()));
}

void VTRManagedUploadJob::awakeFromInsert() {
    setErrorState(VTRUploadErrorStateNone);
    setState(VTRUploadJobStateUnknown);
}

void VTRManagedUploadJob::validateForSave(std::vector<VTRError>& errors) const {
    VTRUploadJobValidation::validateJob(*this, errors);
}

VTRManagedUploadJob* VTRManagedUploadJob::newInstance(VTRObjectContext& context,
                                                      const json& dictionary) {
    VTRManagedUploadJob* job = newInstance(context);
    for (VTRError& error : VTRUploadJobValidation::creationInputErrors(dictionary))
        job->addValidationError(std::move(error));
    if (const json* id = member(dictionary, "id"); id && id->is_string())
        job->setJobID(id->get<std::string>());
    job->setSessionID(stringMember(dictionary, "session_id"));
    job->setServerURL(stringMember(dictionary, "server_url"));
    job->setState(VTRUploadDaemonConstants::jobStateForString(stringMember(dictionary, "state")));
    job->setCredentials(stringMember(dictionary, "credentials"));
    std::vector<VTRManagedUploadFile*> files =
        fileListFromArrayOfDictionaries(member(dictionary, "file_list"), context);
    job->setFileList(std::move(files));
    return job;
}

std::vector<VTRManagedUploadFile*> VTRManagedUploadJob::fileListFromArrayOfDictionaries(
    const json* array, VTRObjectContext& context) {
    std::vector<VTRManagedUploadFile*> files;
    if (!array || !array->is_array()) return files;
    for (const json& element : *array) {
        // The job's input validation refuses malformed elements; they make no record.
        std::optional<std::string> localPath = stringMember(element, "local_path");
        std::optional<std::string> remotePath = stringMember(element, "remote_path");
        if (!localPath || !remotePath) continue;
        VTRManagedUploadFile* file = VTRManagedUploadFile::newInstance(context);
        file->setLocalPath(std::move(localPath));
        file->setRemotePath(std::move(remotePath));
        files.push_back(file);
    }
    return files;
}

void VTRManagedUploadJob::updateWithDictionary(const json& dictionary) {
    for (VTRError& error : VTRUploadJobValidation::updateInputErrors(dictionary))
        addValidationError(std::move(error));
    if (auto state = nonEmptyStringMember(dictionary, "state"))
        setState(VTRUploadDaemonConstants::jobStateForString(*state));
    if (auto sessionID = nonEmptyStringMember(dictionary, "session_id"))
        setSessionID(std::move(sessionID));
    if (auto serverURL = nonEmptyStringMember(dictionary, "server_url"))
        setServerURL(std::move(serverURL));
    if (const json* restarting = member(dictionary, "restarting")) {
        if (restarting->is_boolean()) {
            setRestarting(restarting->get<bool>());
        } else if (restarting->is_number()) {
            setRestarting(restarting->get<double>() != 0);
        }
    }
    if (const json* fileList = member(dictionary, "file_list"); fileList && fileList->is_array()) {
        std::vector<VTRManagedUploadFile*> newFiles =
            fileListFromArrayOfDictionaries(fileList, *managedObjectContext());
        setFileList(VTRManagedUploadFile::replaceNewFiles(newFiles, this->fileList()));
    }
}

json VTRManagedUploadJob::dictionaryRepresentation() const {
    VTRJSONTreeWriter writer;
    writeForm(writer);
    return writer.takeValue();
}

template <typename Writer>
void VTRManagedUploadJob::writeForm(Writer& writer) const {
    writer.beginObject();
    writer.key("error");
    writeValue(writer, kError);
    writer.key("error_type");
    writer.string(VTRUploadDaemonConstants::stringForErrorState(errorState()));
    writer.key("file_list");
    writer.beginArray();
    for (VTRManagedObject* file : children())
        static_cast<VTRManagedUploadFile*>(file)->writeForm(writer);
    writer.endArray();
    writer.key("id");
    writeValue(writer, kJobID);
    writer.key("restarting");
    writer.boolean(restarting());
    writer.key("server_url");
    writeValue(writer, kServerURL);
    writer.key("session_id");
    writeValue(writer, kSessionID);
    writer.key("state");
    writer.string(VTRUploadDaemonConstants::stringForJobState(state()));
    writer.endObject();
}

template void VTRManagedUploadJob::writeForm(VTRJSONTextWriter&) const;
template void VTRManagedUploadJob::writeForm(VTRJSONTreeWriter&) const;

std::optional<std::string> VTRManagedUploadJob::jobID() const {
    return stringValue(kJobID);
}
void VTRManagedUploadJob::setJobID(std::optional<std::string> jobID) {
    setStringValue(kJobID, std::move(jobID));
}
std::optional<std::string> VTRManagedUploadJob::serverURL() const {
    return stringValue(kServerURL);
}
void VTRManagedUploadJob::setServerURL(std::optional<std::string> url) {
    if (url && !parsesAsURL(*url)) url.reset();
    setStringValue(kServerURL, std::move(url));
}
std::optional<std::string> VTRManagedUploadJob::sessionID() const {
    return stringValue(kSessionID);
}
void VTRManagedUploadJob::setSessionID(std::optional<std::string> sessionID) {
    setStringValue(kSessionID, std::move(sessionID));
}
std::optional<std::string> VTRManagedUploadJob::credentials() const {
    return stringValue(kCredentials);
}
void VTRManagedUploadJob::setCredentials(std::optional<std::string> credentials) {
    setStringValue(kCredentials, std::move(credentials));
}
VTRUploadJobState VTRManagedUploadJob::state() const {
    return static_cast<VTRUploadJobState>(integerValue(kState));
}
void VTRManagedUploadJob::setState(VTRUploadJobState state) {
    setIntegerValue(kState, state);
}
VTRUploadErrorState VTRManagedUploadJob::errorState() const {
    return static_cast<VTRUploadErrorState>(integerValue(kErrorState));
}
void VTRManagedUploadJob::setErrorState(VTRUploadErrorState state) {
    setIntegerValue(kErrorState, state);
}
std::optional<std::string> VTRManagedUploadJob::error() const {
    return stringValue(kError);
}
void VTRManagedUploadJob::setError(std::optional<std::string> error) {
    setStringValue(kError, std::move(error));
}
bool VTRManagedUploadJob::restarting() const {
    return integerValue(kRestarting) != 0;
}
void VTRManagedUploadJob::setRestarting(bool restarting) {
    setIntegerValue(kRestarting, restarting ? 1 : 0);
}

std::vector<VTRManagedUploadFile*> VTRManagedUploadJob::fileList() const {
    return asFiles(children());
}

void VTRManagedUploadJob::setFileList(std::vector<VTRManagedUploadFile*> files) {
    setChildren(std::vector<VTRManagedObject*>(files.begin(), files.end()));
}

std::vector<VTRManagedUploadFile*> VTRManagedUploadJob::filesWithLocalPath(
    const std::string& localPath) const {
    VTRObjectContext* context = managedObjectContext();
    auto* self = const_cast<VTRManagedUploadJob*>(this);
    if (!context) return {};
    auto matches = context->childrenWithValue(*self, "localPath", localPath, nullptr);
    return matches ? asFiles(*matches) : std::vector<VTRManagedUploadFile*>();
}

VTRManagedUploadFile* VTRManagedUploadJob::fileWithLocalPath(const std::string& localPath) const {
    std::vector<VTRManagedUploadFile*> files = filesWithLocalPath(localPath);
    return files.empty() ? nullptr : files.front();
}

std::optional<bool> VTRManagedUploadJob::hasOpenFileOtherThan(const std::string& localPath,
                                                              VTRError* error) const {
    if (!hasChildrenFault()) {
        const std::vector<VTRManagedObject*>& files = children();
        return std::any_of(files.begin(), files.end(), [&](VTRManagedObject* object) {
            auto* file = static_cast<VTRManagedUploadFile*>(object);
            return file->localPath() != localPath && !file->closed();
        });
    }
    // The expression matches an index of the file table: the answer costs the same for a job of
    // ten files as for one of a hundred thousand.
    return managedObjectContext()->hasStoredChild(
        *this, "IFNULL(\"closedValue\", 0) = 0 AND \"localPath\" IS NOT ?", {localPath}, error);
}

}  // namespace vtr
