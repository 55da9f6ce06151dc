// The recording service as the job service's tests play it: every upload service the job service
// makes talks to one shared ScriptedRecordingService, which keeps the bytes it accepts, answers
// like a healthy server, and can hold a call until released or cancelled, fail one chunk, or
// misbehave at random as a script decides. Any thread may use it. After each call it posts an
// empty task to the test's run loop, so a runUntil() waiting on the script's state looks again.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "foundation/VTRError.h"
#include "service/VTRRemoteUploadJobService.h"

namespace vtr {
class VTROperation;
class VTRRunLoop;
}  // namespace vtr

namespace vtr::test {

class ScriptedRecordingService {
  public:
    struct ChunkCall {
        std::string fileName;
        uint64_t offset = 0;
        bool failed = false;
    };

    // The remote calls an operation makes.
    enum class Call { ChunkSize, UploadChunk, VerifyFile, TryCloseFile };

    // What the server does to one call instead of answering as a healthy server would. A call
    // ignores what does not apply to it.
    enum class Misbehaviour {
        None,
        ServerError,      // every call: fails as an HTTP 500 does
        DropConnection,   // every call: the connection is lost
        WrongHash,        // UploadChunk: keeps damaged bytes and answers their hash
        OutOfOrder,       // UploadChunk: refuses the chunk as out of order
        Uploading,        // TryCloseFile: "Uploading"
        ServerException,  // TryCloseFile: "ServerException"
        Unverified,       // VerifyFile: false
    };
    // Decides per call how the server misbehaves. Called under the script's lock, one call at a
    // time. Empty: always healthy.
    using Misbehave = std::function<Misbehaviour(Call call, const std::string& fileName)>;

    explicit ScriptedRecordingService(VTRRunLoop& loop, int32_t chunkSize = 4)
        : loop_(loop), chunkSize_(chunkSize) {}
    // Later reports of upload services that outlive the script no longer reach its run loop.
    ~ScriptedRecordingService();
    ScriptedRecordingService(const ScriptedRecordingService&) = delete;
    ScriptedRecordingService& operator=(const ScriptedRecordingService&) = delete;

    VTRRemoteUploadJobService::UploadServiceFactory factory();

    // A held call waits until release() or until its operation is cancelled (it then fails
    // with NSURLErrorDomain -999). The n-th (1-based) and later ChunkSize calls to the server
    // URL are held; UploadChunk of the file at the offset is held.
    void holdChunkSize(const std::string& serverURL, size_t fromCall = 1);
    void holdUploadChunk(const std::string& fileName, uint64_t offset);
    // Lets every held call go on and drops every hold.
    void release();
    // Drops the ChunkSize hold of that server URL only.
    void releaseChunkSize(const std::string& serverURL);
    size_t heldCalls() const { return locked(held_); }

    // The next UploadChunk of the file at the offset fails with `error`.
    void failUploadChunkOnce(const std::string& fileName, uint64_t offset, VTRError error);
    // Bytes the server already has, as a previous run of the daemon left them.
    void seed(const std::string& fileName, const std::string& bytes);
    void setVerifyAlwaysFails(bool fails);
    // Every call of that kind fails with `error` (before any hold applies).
    void failEveryCall(Call call, VTRError error);
    // TryCloseFile answers `answer` (nothing: no result and no error) instead of "Uploaded".
    void answerClose(std::optional<std::string> answer);
    // The calls of that kind that failEveryCall() or answerClose() answered.
    size_t scriptedAnswers(Call call) const { return at(scriptedAnswers_, call); }

    // The server URLs of the upload services made, in order.
    std::vector<std::string> serviceURLs() const { return locked(serviceURLs_); }
    // The server URL of every ChunkSize call, in order.
    std::vector<std::string> chunkSizeURLs() const { return locked(chunkSizeURLs_); }
    // The operation that made the n-th (0-based) ChunkSize call, while it is alive.
    std::shared_ptr<VTROperation> chunkSizeCaller(size_t index) const;
    std::vector<ChunkCall> chunkCalls(const std::string& file) const {
        return at(chunkCalls_, file);
    }
    size_t closeCalls(const std::string& file) const { return at(closeCalls_, file); }
    std::string received(const std::string& file) const { return at(received_, file); }

    void setMisbehaviour(Misbehave misbehave);
    // The descriptions of the errors that ServerError, DropConnection and OutOfOrder fail calls
    // with.
    static const char* serverErrorText();
    static const char* droppedConnectionText();
    static const char* outOfOrderText();

    // Upload services alive now. An operation owns its service, so this counts the operations
    // that have not ended or still have reports on the way; each ending nudges the run loop.
    size_t liveServices() const;
    // Calls that wait on a hold now, neither released nor cancelled.
    size_t blockedCalls() const;
    // Upload services made so far; each one's serial number is its place in this count.
    uint64_t servicesMade() const { return locked(serviceURLs_).size(); }
    // Operations that called for the server URL and have neither finished nor been cancelled.
    size_t activeCallers(const std::string& serverURL) const;
    // The end of the furthest chunk of the file accepted from a service made after `serial`, and
    // whether such a service had the file closed.
    uint64_t acceptedAfter(const std::string& fileName, uint64_t serial) const;
    bool closedAfter(const std::string& fileName, uint64_t serial) const;

  private:
    class Service;

    // A copy of `member`, taken under the lock.
    template <typename T>
    T locked(const T& member) const {
        std::lock_guard lock(mutex_);
        return member;
    }
    // The value under `key` (empty when there is none), taken under the lock.
    template <typename Map>
    typename Map::mapped_type at(const Map& map, const typename Map::key_type& key) const {
        std::lock_guard lock(mutex_);
        auto found = map.find(key);
        return found == map.end() ? typename Map::mapped_type{} : found->second;
    }

    // Waits while `held()` is true; false when the calling operation was cancelled meanwhile.
    // Needs the lock.
    bool waitWhileHeld(std::unique_lock<std::mutex>& lock, Service& service,
                       const std::function<bool()>& held);
    void nudge();
    // Notes the calling operation as a caller for the URL. Needs the lock.
    void noteCaller(const std::string& serverURL);
    Misbehaviour misbehaviour(Call call, const std::string& fileName) {
        return misbehave_ ? misbehave_(call, fileName) : Misbehaviour::None;
    }

    // Shared with every upload service, which may outlive the script.
    struct Liveness {
        explicit Liveness(VTRRunLoop* runLoop) : loop(runLoop) {}
        std::mutex mutex;
        VTRRunLoop* loop = nullptr;  // cleared when the script goes
        size_t services = 0;
    };
    // The failure failEveryCall() set for `call`, counted, if any. Needs the lock.
    std::optional<VTRError> everyCallFailure(std::unique_lock<std::mutex>& lock, Call call);

    VTRRunLoop& loop_;
    const int32_t chunkSize_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    size_t held_ = 0;
    bool verifyFails_ = false;
    std::map<std::string, size_t> chunkSizeHolds_;
    std::map<std::string, size_t> chunkSizeCounts_;
    std::set<std::pair<std::string, uint64_t>> chunkHolds_;
    std::map<std::pair<std::string, uint64_t>, VTRError> chunkFailures_;
    std::vector<std::string> serviceURLs_;
    std::vector<std::string> chunkSizeURLs_;
    std::vector<std::weak_ptr<VTROperation>> chunkSizeCallers_;
    std::map<std::string, std::vector<ChunkCall>> chunkCalls_;
    std::map<std::string, size_t> closeCalls_;
    std::map<std::string, std::string> received_;
    Misbehave misbehave_;
    std::shared_ptr<Liveness> liveness_ = std::make_shared<Liveness>(&loop_);
    std::list<std::function<bool()>> blocked_;
    std::map<std::string, std::vector<std::weak_ptr<VTROperation>>> callers_;
    std::map<std::pair<std::string, uint64_t>, uint64_t> acceptedEnds_;
    std::set<std::pair<std::string, uint64_t>> closedBy_;
    std::map<Call, VTRError> everyCallFailures_;
    std::optional<std::optional<std::string>> closeAnswer_;
    std::map<Call, size_t> scriptedAnswers_;
};

VTRError urlError(int64_t code);

}  // namespace vtr::test
