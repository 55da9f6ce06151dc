// A connection subclass for the server tests: records every hook call and answers by path.
//   /hello      200 "hello"          /echo     200 with the request body
//   /delay      reply 50 ms later     /drop     connection dropped
//   /silent     no reply ever (until the server stops)
//   /put-only   supports PUT only, for 405      /status/N   empty reply with status N
//   /headers    201 with headers of its own
//   /stream     opens a stream with the record's options and keeps its handle there
//   anything else: no response (404)
// A script set on the record before the server starts answers first; it returning nothing
// leaves the request to the paths above. Hooks run on the server's connection queue; tests read
// the record from their own thread.
#pragma once

#include <algorithm>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "httpserver/HTTPConnection.h"
#include "httpserver/HTTPServer.h"
#include "httpserver/HTTPStream.h"

namespace vtr::test {

class HookRecord {
  public:
    using Script =
        std::function<std::unique_ptr<HTTPResponse>(const HTTPMessage& request, std::string body)>;

    void add(std::string entry) {
        std::lock_guard lock(mutex_);
        entries_.push_back(std::move(entry));
    }
    std::vector<std::string> entries() const {
        std::lock_guard lock(mutex_);
        return entries_;
    }
    // How many entries contain `part`.
    size_t count(const std::string& part) const {
        std::lock_guard lock(mutex_);
        return std::ranges::count_if(entries_, [&](auto& e) { return e.find(part) != e.npos; });
    }
    void notePiece(size_t size) {
        std::lock_guard lock(mutex_);
        largestPiece_ = std::max(largestPiece_, size);
    }
    size_t largestPiece() const {
        std::lock_guard lock(mutex_);
        return largestPiece_;
    }

    // The last stream "/stream" opened.
    std::shared_ptr<HTTPStream> stream() const {
        std::lock_guard lock(mutex_);
        return stream_;
    }
    void setStream(std::shared_ptr<HTTPStream> stream) {
        std::lock_guard lock(mutex_);
        stream_ = std::move(stream);
    }

    // Set before the server starts.
    Script script;
    HTTPStreamOptions streamOptions;  // how "/stream" opens a stream

  private:
    std::shared_ptr<HTTPStream> stream_;
    mutable std::mutex mutex_;
    std::vector<std::string> entries_;
    size_t largestPiece_ = 0;
};

class RecordingConnection : public HTTPConnection {
  public:
    RecordingConnection(const HTTPConfig& config, std::shared_ptr<HookRecord> record)
        : HTTPConnection(config), record_(std::move(record)) {}

    bool supportsMethod(const std::string& method, const std::string& path) override;
    bool expectsRequestBodyFromMethod(const std::string& method, const std::string& path) override;
    void prepareForBodyWithSize(uint64_t contentLength) override;
    void processBodyData(std::string_view data) override;
    void finishBody() override;
    std::unique_ptr<HTTPResponse> httpResponseForMethod(const std::string& method,
                                                        const std::string& uri) override;

  private:
    std::shared_ptr<HookRecord> record_;
    std::string body_;
};

// A started server on "lo0" with RecordingConnection, the given limits, header time-outs, script
// and stream options.
class RecordingServer {
  public:
    explicit RecordingServer(HTTPServerLimits limits = {},
                             std::chrono::milliseconds headerTimeout = std::chrono::seconds(30),
                             HookRecord::Script script = {}, HTTPStreamOptions streamOptions = {});
    ~RecordingServer() { server.stop(); }

    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port) + path;
    }

    HTTPServer server;
    std::shared_ptr<HookRecord> record = std::make_shared<HookRecord>();
    uint16_t port = 0;
};

}  // namespace vtr::test
