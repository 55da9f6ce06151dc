// VTRManagedUploadJob: the stored record of one upload job and its files, created from and shown
// as the control API's JSON form. Owned by the VTRObjectContext (and so the job store) that
// fetched or inserted it; use it only on that store's thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "jobs/VTRManagedObject.h"
#include "jobs/VTRUploadDaemonConstants.h"

namespace vtr {

class VTRManagedUploadFile;

class VTRManagedUploadJob : public VTRManagedObject {
  public:
    // Entity "UploadJob": jobID, serverURL, sessionID, credentials, stateValue, errorStateValue,
    // error, restartingValue; and the to-many fileList of "UploadFile".
    static const VTREntity& entity();

    // A new job record inserted into `context` (state unknown, error state none).
    static VTRManagedUploadJob* newInstance(VTRObjectContext& context);
    // A new job record filled from a job input object: id, session_id, server_url, state,
    // credentials, file_list. Input of the wrong type is kept out of the record and fails the
    // next save's validation. Does not save.
    static VTRManagedUploadJob* newInstance(VTRObjectContext& context,
                                            const nlohmann::json& dictionary);
    // One new file record per element of the array (nullptr or null: none).
    static std::vector<VTRManagedUploadFile*> fileListFromArrayOfDictionaries(
        const nlohmann::json* array, VTRObjectContext& context);

    // Applies state, session_id, server_url, restarting, file_list (merged with the current
    // files, keeping the progress of files already known). Never changes id or credentials.
    // Input of the wrong type fails the next save's validation. Does not save.
    void updateWithDictionary(const nlohmann::json& dictionary);

    // {"id", "server_url", "session_id", "state", "error", "error_type", "restarting",
    // "file_list"}; never the credentials. writeForm writes the same form to a JSON writer
    // (VTRJSONTextWriter or VTRJSONTreeWriter), members in key order.
    nlohmann::json dictionaryRepresentation() const;
    template <typename Writer>
    void writeForm(Writer& writer) const;

    std::optional<std::string> jobID() const;
    void setJobID(std::optional<std::string> jobID);
    // The absolute string of the job's upload service URL.
    std::optional<std::string> serverURL() const;
    // Keeps only a string that parses as a URL; anything else leaves the job without one.
    void setServerURL(std::optional<std::string> url);
    std::optional<std::string> sessionID() const;
    void setSessionID(std::optional<std::string> sessionID);
    std::optional<std::string> credentials() const;
    void setCredentials(std::optional<std::string> credentials);
    VTRUploadJobState state() const;
    void setState(VTRUploadJobState state);
    VTRUploadErrorState errorState() const;
    void setErrorState(VTRUploadErrorState state);
    std::optional<std::string> error() const;
    void setError(std::optional<std::string> error);
    bool restarting() const;
    void setRestarting(bool restarting);

    // The job's files, in no defined order. Files left out by setFileList are deleted on save.
    std::vector<VTRManagedUploadFile*> fileList() const;
    void setFileList(std::vector<VTRManagedUploadFile*> files);
    // The files of this job with that local path. A job fetched without its files reads only
    // these. Empty on a failed read.
    std::vector<VTRManagedUploadFile*> filesWithLocalPath(const std::string& localPath) const;
    // The first of them, or nullptr.
    VTRManagedUploadFile* fileWithLocalPath(const std::string& localPath) const;
    // Whether a file with another local path (or none) is not closed. With the files not loaded,
    // asks the store, which answers for them as last saved. Nullopt on a failed read.
    std::optional<bool> hasOpenFileOtherThan(const std::string& localPath,
                                             VTRError* error = nullptr) const;

  protected:
    void awakeFromInsert() override;
    void validateForSave(std::vector<VTRError>& errors) const override;

  private:
    VTRManagedUploadJob();
    static std::unique_ptr<VTRManagedObject> make();
};

}  // namespace vtr
