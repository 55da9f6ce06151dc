// VTRUploadDaemonConnection: the control API. One object per accepted connection; the server
// asks it, request by request, which methods it serves, feeds it the body and takes its reply.
// Every hook and handler runs on the server's connection queue, one request at a time.
// Its routes stand in one table (VTRUploadDaemonConnectionRoutes.cpp); VTRWebRequestPolicy
// decides which requests a web page made, and VTRJobLogForm keeps credentials out of the log.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "foundation/VTRError.h"
#include "httpserver/HTTPConnection.h"

namespace vtr {

class VTREventHub;
class VTRManagedUploadJob;
class VTRRunLoop;
class VTRUploadDaemonConnectionEnvironment;
class VTRUploadJobService;
class VTRUploadJobStore;

// What the restart route and the body parser act on. The defaults are the daemon's; tests
// observe the exit and the console instead of suffering them.
struct VTRUploadDaemonConnectionOptions {
    // Ends the process with the given status. Default: flush the log and _exit.
    std::function<void(int status)> exitProcess;
    std::chrono::steady_clock::duration restartDelay = std::chrono::seconds(1);
    // The console log (standard error and the system log). Default: VTRConsoleLogText.
    std::function<void(const std::string& text)> consoleLog;
    // Serves GET /events and hears of the jobs the API stores and removes. Without it the
    // route answers 404.
    std::shared_ptr<VTREventHub> events;
};

class VTRUploadDaemonConnection : public HTTPConnection {
  public:
    using Options = VTRUploadDaemonConnectionOptions;

    // Requests reach the store and the job service through `environment`; the restart route
    // schedules the exit on `runLoop`, which must outlive the connection.
    VTRUploadDaemonConnection(HTTPConfig config,
                              std::shared_ptr<VTRUploadDaemonConnectionEnvironment> environment,
                              VTRRunLoop& runLoop, Options options = {});
    ~VTRUploadDaemonConnection() override;

    // A connection factory for HTTPServer::setConnectionClass: every connection it makes shares
    // the environment, the run loop and the options.
    static std::function<std::shared_ptr<HTTPConnection>(const HTTPConfig&)> factory(
        std::shared_ptr<VTRUploadDaemonConnectionEnvironment> environment, VTRRunLoop& runLoop,
        Options options = {});

    // Hooks, in the order the server calls them.
    bool expectsRequestBodyFromMethod(const std::string& method, const std::string& path) override;
    bool supportsMethod(const std::string& method, const std::string& path) override;
    void prepareForBodyWithSize(uint64_t contentLength) override;
    void processBodyData(std::string_view data) override;
    void finishBody() override;
    std::unique_ptr<HTTPResponse> httpResponseForMethod(const std::string& method,
                                                        const std::string& uri) override;

    // The URI as a file path: no empty or "." components, ".." removes the one before it, no
    // trailing "/"; "/" when nothing is left.
    static std::string standardizedPathForPath(std::string_view path);
    // The non-empty components between the "/"s.
    static std::vector<std::string> pathComponentsFromPath(std::string_view path);

    const std::shared_ptr<VTRUploadDaemonConnectionEnvironment>& environment() const {
        return environment_;
    }

  private:
    // A method on a path, where a last component ":id" stands for any job's id. The one table
    // of routes answers supportsMethod, dispatches each request and makes the index document.
    struct Route {
        std::string_view method;
        std::string_view path;
        std::string_view description;
        std::unique_ptr<HTTPResponse> (*respond)(VTRUploadDaemonConnection& self,
                                                 const std::string& jobID);
    };
    static const std::vector<Route>& routes();
    // The route serving `method` on the standardized `path`, with the job's id when it names
    // one, or nullptr.
    static const Route* routeFor(const std::string& method, const std::string& path,
                                 std::string* jobID);

    std::unique_ptr<HTTPResponse> handleIndexRequest();
    std::unique_ptr<HTTPResponse> handleKillDaemon();
    std::unique_ptr<HTTPResponse> handleGetJobs();
    std::unique_ptr<HTTPResponse> handleGetActivity();
    std::unique_ptr<HTTPResponse> handleGetEvents();
    std::unique_ptr<HTTPResponse> handleGetJobWithID(const std::string& jobID);
    std::unique_ptr<HTTPResponse> handlePutJobWithID(const std::string& jobID);
    // The two halves of a PUT: a job the store does not have yet, and an update of one it has.
    std::unique_ptr<HTTPResponse> putNewJob(const std::string& jobID, const nlohmann::json& posted,
                                            const std::string& described, VTRUploadJobStore& store);
    std::unique_ptr<HTTPResponse> putExistingJob(const std::string& jobID,
                                                 const nlohmann::json& posted,
                                                 const std::string& described,
                                                 VTRUploadJobStore& store,
                                                 VTRManagedUploadJob& existing);
    std::unique_ptr<HTTPResponse> handleDeleteJobWithID(const std::string& jobID);
    // Figures and settings (VTRUploadDaemonConnectionLimits.cpp).
    std::unique_ptr<HTTPResponse> handleGetMetrics();
    std::unique_ptr<HTTPResponse> handleGetSettings();
    std::unique_ptr<HTTPResponse> handlePutSettings();

    // A 403 reply (closing the connection) for a request that a web page made: its Host names
    // no loopback address, or its Origin is neither "null" nor a loopback page. Else nothing.
    std::unique_ptr<HTTPResponse> refusalOfWebRequest(const std::string& method,
                                                      const std::string& path) const;
    // Acts on the state a client just stored: start, restart or cancel the upload.
    bool handleStateChangeInJob(VTRManagedUploadJob& job, VTRError* error);
    // The job service of the environment, or nullptr.
    std::shared_ptr<VTRUploadJobService> uploadService() const;
    // The job's JSON form as stored after the job service acted on it; the event streams
    // hear of the job.
    nlohmann::json storedForm(const VTRManagedUploadJob& job) const;
    // A store of this request's own, or nullptr with an error when the daemon has none.
    std::unique_ptr<VTRUploadJobStore> newJobStore(VTRError* error) const;
    // The body parsed as a job input object. Nothing (and a console line) for a missing body,
    // text that is not JSON, or JSON that is not an object.
    std::optional<nlohmann::json> postedJobFromRequest() const;

    std::shared_ptr<VTRUploadDaemonConnectionEnvironment> environment_;
    VTRRunLoop& runLoop_;
    Options options_;
    std::string bodyData_;
    std::optional<std::string> requestBody_;
};

}  // namespace vtr
