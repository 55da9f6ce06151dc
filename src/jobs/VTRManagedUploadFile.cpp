#include "jobs/VTRManagedUploadFile.h"

#include <sys/stat.h>

#include <string>
#include <unordered_map>
#include <unordered_set>

#include <nlohmann/json.hpp>

#include "foundation/VTRJSONTextWriter.h"
#include "jobs/VTRJSONTreeWriter.h"
#include "jobs/VTRManagedUploadJob.h"
#include "jobs/VTRObjectContext.h"
#include "jobs/VTRUploadJobValidation.h"

namespace vtr {

namespace {
enum FileAttribute { kLocalPath, kRemotePath, kTotalBytes, kBytesUploaded, kClosed };
}  // namespace

const VTREntity& VTRManagedUploadFile::entity() {
    static const VTREntity uploadFile(
        "UploadFile",
        {"localPath", "remotePath", "totalBytesValue", "bytesUploadedValue", "closedValue"},
        &VTRManagedUploadFile::make, nullptr, "job");
    return uploadFile;
}

VTRManagedUploadFile::VTRManagedUploadFile() : VTRManagedObject(entity()) {}

std::unique_ptr<VTRManagedObject> VTRManagedUploadFile::make() {
    return std::unique_ptr<VTRManagedObject>(new VTRManagedUploadFile());
}

VTRManagedUploadFile* VTRManagedUploadFile::newInstance(VTRObjectContext& context) {
    return static_cast<VTRManagedUploadFile*>(context.insertNewObject(entity()));
}

void VTRManagedUploadFile::awakeFromInsert() {
    setTotalBytes(0);
    setBytesUploaded(0);
}

void VTRManagedUploadFile::validateForSave(std::vector<VTRError>& errors) const {
    VTRUploadJobValidation::validateFile(*this, errors);
}

std::vector<VTRManagedUploadFile*> VTRManagedUploadFile::replaceNewFiles(
    const std::vector<VTRManagedUploadFile*>& newFiles,
    const std::vector<VTRManagedUploadFile*>& existingFiles) {
    // Jobs have tens of thousands of files: look paths up, never scan the list per file.
    std::unordered_map<std::string, VTRManagedUploadFile*> existingByPath;
    existingByPath.reserve(existingFiles.size());
    for (VTRManagedUploadFile* existing : existingFiles) {
        if (std::optional<std::string> path = existing->localPath())
            existingByPath[*path] = existing;  // the last record with the path wins
    }
    std::vector<VTRManagedUploadFile*> result;
    result.reserve(newFiles.size());
    std::unordered_set<VTRManagedUploadFile*> taken;
    taken.reserve(newFiles.size());
    for (VTRManagedUploadFile* newFile : newFiles) {
        VTRManagedUploadFile* kept = newFile;
        if (std::optional<std::string> path = newFile->localPath()) {
            auto existing = existingByPath.find(*path);
            if (existing != existingByPath.end()) kept = existing->second;
        }
        if (taken.insert(kept).second) result.push_back(kept);
    }
    return result;
}

std::optional<std::string> VTRManagedUploadFile::localPath() const {
    return stringValue(kLocalPath);
}
void VTRManagedUploadFile::setLocalPath(std::optional<std::string> path) {
    setStringValue(kLocalPath, std::move(path));
}
std::optional<std::string> VTRManagedUploadFile::remotePath() const {
    return stringValue(kRemotePath);
}
void VTRManagedUploadFile::setRemotePath(std::optional<std::string> path) {
    setStringValue(kRemotePath, std::move(path));
}
uint64_t VTRManagedUploadFile::totalBytes() const {
    return static_cast<uint64_t>(integerValue(kTotalBytes));
}
void VTRManagedUploadFile::setTotalBytes(uint64_t bytes) {
    setIntegerValue(kTotalBytes, static_cast<int64_t>(bytes));
}
uint64_t VTRManagedUploadFile::bytesUploaded() const {
    return static_cast<uint64_t>(integerValue(kBytesUploaded));
}
void VTRManagedUploadFile::setBytesUploaded(uint64_t bytes) {
    setIntegerValue(kBytesUploaded, static_cast<int64_t>(bytes));
}
bool VTRManagedUploadFile::closed() const {
    return integerValue(kClosed) != 0;
}
void VTRManagedUploadFile::setClosed(bool closed) {
    setIntegerValue(kClosed, closed ? 1 : 0);
}

VTRManagedUploadJob* VTRManagedUploadFile::job() const {
    return static_cast<VTRManagedUploadJob*>(parent());
}

bool VTRManagedUploadFile::updateFromLocalPath(VTRError*) {
    std::optional<std::string> path = localPath();
    struct stat attributes {};
    if (path && ::stat(path->c_str(), &attributes) == 0)
        setTotalBytes(static_cast<uint64_t>(attributes.st_size));
    return true;
}

template <typename Writer>
void VTRManagedUploadFile::writeForm(Writer& writer) const {
    writer.beginObject();
    writer.key("bytes_uploaded");
    writer.number(bytesUploaded());
    writer.key("closed");
    writer.boolean(closed());
    writer.key("local_path");
    writeValue(writer, kLocalPath);
    writer.key("remote_path");
    writeValue(writer, kRemotePath);
    writer.key("total_bytes");
    writer.number(totalBytes());
    writer.endObject();
}

template void VTRManagedUploadFile::writeForm(VTRJSONTextWriter&) const;
template void VTRManagedUploadFile::writeForm(VTRJSONTreeWriter&) const;

}  // namespace vtr
