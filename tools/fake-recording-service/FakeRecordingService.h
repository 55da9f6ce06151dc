// FakeRecordingService: the behaviour of the stand-in recording service, without sockets. It
// answers the four SOAP methods (ChunkSize, UploadChunk, VerifyFile, TryCloseFile) like a WCF
// service, stores uploaded bytes under a data directory, injects the faults it is told to, and
// serves the JSON control interface under /control/. Thread-safe: every member takes the lock.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace vtr::fake {

struct FakeReply {
    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    bool drop = false;                   // close the connection instead of answering
    std::chrono::milliseconds delay{0};  // answer (or drop) this much later
};

class FakeRecordingService {
  public:
    struct Options {
        std::string dataDirectory;
        int64_t chunkSize = 1048576;
        int closeUploadingCount = 0;  // "Uploading" answers before "Uploaded", per file
        uint32_t seed = 1;
        bool plainResponses = false;  // answer MTOM requests with plain XML too
    };

    explicit FakeRecordingService(Options options);

    // One HTTP request: `target` is the request path, `contentType` and `soapAction` the
    // headers (nullptr when absent).
    FakeReply handle(const std::string& method, const std::string& target,
                     const std::string* contentType, const std::string* soapAction,
                     const std::string& body);

  private:
    struct FileState {
        uint64_t size = 0;
        bool closed = false;
        int closeCalls = 0;
    };
    struct FaultRule {
        std::string method = "*";
        std::optional<std::string> file;
        std::optional<uint64_t> offset;
        int remaining = 1;  // <= 0: unlimited
        int after = 0;      // matching calls let through before the rule fires
        double probability = 1.0;
        std::string action = "status";  // status, drop, delay, result, empty, html
        int status = 500;
        std::string errorCode;
        std::string result;
        std::chrono::milliseconds delay{0};
        bool perform = false;
        int fired = 0;
    };
    struct CallRecord {
        int64_t timeMs;
        std::string method, session, file, fault, result;
        std::optional<uint64_t> offset;
        uint64_t length = 0;
        int status = 200;
    };

    FakeReply handleSOAP(const std::string* contentType, const std::string* soapAction,
                         const std::string& body);
    FakeReply handleControl(const std::string& method, const std::string& path,
                            const std::string& body);
    FakeReply control(const std::string& method, const std::string& path, const std::string& body);
    // Runs the method itself: its result text, or a fault (status, error code, text).
    struct Outcome {
        bool ok = true;
        std::string result;  // "\x01" marks an empty result element
        int status = 200;
        std::string errorCode;
        std::string faultText;
    };
    Outcome perform(const std::string& method, const std::map<std::string, std::string>& params,
                    uint64_t* length);
    FaultRule* firingRule(const std::string& method, const std::string& file,
                          std::optional<uint64_t> offset);
    std::string filePath(const std::string& session, const std::string& file) const;
    FileState& state(const std::string& session, const std::string& file);
    std::string md5OfFile(const std::string& path, uint64_t size) const;
    std::string stateJSON(const std::string& what);

    FakeReply soapResponse(const std::string& method, const std::string& result, bool empty,
                           bool mtom) const;
    FakeReply soapFault(int status, const std::string& errorCode, const std::string& text) const;

    mutable std::mutex mutex_;
    Options options_;
    std::mt19937 random_;
    std::map<std::pair<std::string, std::string>, FileState> files_;
    std::vector<FaultRule> faults_;
    std::vector<CallRecord> calls_;
};

}  // namespace vtr::fake
