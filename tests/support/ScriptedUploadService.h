// The recording service as the upload engine's and the job service's tests play it. Every upload
// service made by make() or factory() talks to one shared script, which records each call, keeps
// the bytes it accepts and answers as a healthy server does unless told otherwise: by an answer
// queued for the next call of a method, by a rule asked about every other call, or by a hold that
// keeps a call waiting until released or cancelled (it then fails with NSURLErrorDomain -999).
// Any thread may use it. Given a run loop, it posts an empty task to it after each call, so a
// runUntil() waiting on the script's state looks again.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
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
#include "foundation/VTRValue.h"
#include "upload/VTRUploadService.h"

namespace vtr {
class VTROperation;
class VTRRunLoop;
}  // namespace vtr

namespace vtr::test {

VTRError urlError(int64_t code);
// A refusal as an HTTP 500 carrying the server's error code brings it.
VTRError serverCodeError(const std::string& code);

class ScriptedUploadService {
  public:
    enum class Method { ChunkSize, UploadChunk, VerifyFile, TryCloseFile };
    struct Call {
        Method method;
        std::string file = {};
        uint64_t offset = 0;
        size_t length = 0;
        std::string checksum = {};
        std::string serverURL = {};
        uint64_t serial = 0;    // the calling upload service's place among those made, from 1
        bool accepted = false;  // a chunk stored as sent, or a close answered "Uploaded"
        std::weak_ptr<VTROperation> caller = {};
    };
    // What the server does instead of answering as a healthy one; an empty Answer is healthy.
    struct Answer {
        std::optional<VTRError> error = {};  // fails the call
        std::optional<VTRValue> value = {};  // answered instead (the null marker: no answer)
        bool damage = false;                 // UploadChunk: keeps damaged bytes, answers their hash
    };
    // Asked under the script's lock, one call at a time.
    using Rule = std::function<Answer(const Call&)>;
    using Factory = std::function<std::unique_ptr<VTRUploadService>(const std::string& serverURL)>;

    explicit ScriptedUploadService(VTRRunLoop* loop = nullptr);
    // Upload services that outlive the script no longer reach its run loop.
    ~ScriptedUploadService();
    ScriptedUploadService(const ScriptedUploadService&) = delete;
    ScriptedUploadService& operator=(const ScriptedUploadService&) = delete;

    // Set before the run.
    int32_t chunkSize = 4;
    bool verifyChecksums = true;  // false: any checksum is confirmed
    // How many of the latest chunks the server holds on to after answering, as a request kept
    // past its call holds its body.
    size_t chunksKept = 0;

    std::unique_ptr<VTRUploadService> make(const std::string& serverURL = "http://127.0.0.1:9/");
    Factory factory();

    void answer(Method method, Answer answer);  // the next call of `method` gets it
    void setRule(Rule rule);
    // The n-th (from 1) and later ChunkSize calls to the server URL wait; so does UploadChunk of
    // the file at the offset. release() lets every one go on, releaseChunkSize() those of a URL.
    void holdChunkSize(const std::string& serverURL, size_t fromCall = 1);
    void holdUploadChunk(const std::string& file, uint64_t offset);
    void release();
    void releaseChunkSize(const std::string& serverURL);
    // Bytes the server already has, as an earlier run left them.
    void seed(const std::string& file, const std::string& bytes);

    std::vector<Call> calls() const;
    std::vector<Call> callsOf(Method method, const std::string& file = {}) const;
    std::vector<uint64_t> offsets(const std::string& file) const;  // of its UploadChunk calls
    std::string received(const std::string& file) const;
    std::vector<std::string> serviceURLs() const;
    // Calls waiting on a hold now, neither released nor cancelled.
    size_t heldCalls() const;
    // Upload services alive: an operation owns its service, so this counts the operations that
    // have not ended or still have reports on the way; each ending nudges the run loop.
    size_t liveServices() const;
    // Operations that called the server URL and have neither finished nor been cancelled.
    size_t activeCallers(const std::string& serverURL) const;
    // Held chunks whose bytes changed while held (the request would have sent other bytes).
    size_t changedKeptChunks() const;

  private:
    class Service;
    struct Liveness;

    std::optional<VTRValue> serve(Service& service, Call call, const VTRBytes* bytes,
                                  VTRError* error);
    VTRValue healthy(Call& call, const Answer& answer, const VTRBytes* bytes);
    bool waitWhileHeld(std::unique_lock<std::mutex>& lock, Service& service,
                       const std::function<bool()>& held);
    void keep(std::shared_ptr<const VTRBytes> chunk);
    void nudge();

    VTRRunLoop* loop_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Call> calls_;
    std::vector<std::string> serviceURLs_;
    std::map<Method, std::deque<Answer>> answers_;
    Rule rule_;
    std::map<std::string, size_t> chunkSizeHolds_;
    std::set<std::pair<std::string, uint64_t>> chunkHolds_;
    std::list<std::function<bool()>> waiting_;
    std::map<std::string, std::string> received_;
    // Each held chunk with the bytes it had when it arrived.
    std::deque<std::pair<std::shared_ptr<const VTRBytes>, VTRBytes>> kept_;
    size_t changedKeptChunks_ = 0;
    std::shared_ptr<Liveness> liveness_;
};

}  // namespace vtr::test
