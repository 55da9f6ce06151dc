// VTRManagedUploadFile: the stored record of one file of an upload job, with its upload progress.
// Owned by the VTRObjectContext (and so the job store) that fetched or inserted it; use it only
// on that store's thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "jobs/VTRManagedObject.h"

namespace vtr {

class VTRManagedUploadJob;

class VTRManagedUploadFile : public VTRManagedObject {
  public:
    // Entity "UploadFile": localPath, remotePath, totalBytesValue, bytesUploadedValue, closedValue.
    static const VTREntity& entity();

    // A new file record inserted into `context` (totalBytes 0, bytesUploaded 0, closed empty).
    static VTRManagedUploadFile* newInstance(VTRObjectContext& context);
    // For each new record in turn, the existing record with the same localPath (the last such one
    // when several share it), else the new record. Existing records keep their fields.
    static std::vector<VTRManagedUploadFile*> replaceNewFiles(
        const std::vector<VTRManagedUploadFile*>& newFiles,
        const std::vector<VTRManagedUploadFile*>& existingFiles);

    std::optional<std::string> localPath() const;
    void setLocalPath(std::optional<std::string> path);
    std::optional<std::string> remotePath() const;
    void setRemotePath(std::optional<std::string> path);
    uint64_t totalBytes() const;
    void setTotalBytes(uint64_t bytes);
    uint64_t bytesUploaded() const;
    void setBytesUploaded(uint64_t bytes);
    bool closed() const;
    void setClosed(bool closed);

    // The job whose fileList holds this file, or nullptr.
    VTRManagedUploadJob* job() const;

    // Sets totalBytes to the size of the file at localPath when it can be read; otherwise keeps
    // it (a missing file is reported later by the upload). Always true; does not save.
    bool updateFromLocalPath(VTRError* error = nullptr);

    // Writes {"bytes_uploaded", "closed", "local_path", "remote_path", "total_bytes"} to a JSON
    // writer (see VTRManagedUploadJob::writeForm).
    template <typename Writer>
    void writeForm(Writer& writer) const;

  protected:
    void awakeFromInsert() override;
    void validateForSave(std::vector<VTRError>& errors) const override;

  private:
    friend class VTRManagedUploadJob;
    VTRManagedUploadFile();
    static std::unique_ptr<VTRManagedObject> make();
};

}  // namespace vtr
