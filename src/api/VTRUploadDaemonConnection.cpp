#include "api/VTRUploadDaemonConnection.h"
#include "api/VTREventHub.h"
#include "api/VTRJSONValue.h"
#include "api/VTRJobFormResponse.h"
#include "api/VTRJobLogForm.h"
#include "api/VTRWebRequestPolicy.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "foundation/VTRRunLoop.h"
#include "httpserver/HTTPDataResponse.h"
#include "httpserver/HTTPErrorResponse.h"
#include "httpserver/HTTPStream.h"
#include "httpserver/VTRJSONResponse.h"
#include "jobs/VTRManagedUploadJob.h"
#include "jobs/VTRObjectContext.h"
#include "jobs/VTRSQLiteUploadJobStore.h"
#include "jobs/VTRStoreCoordinator.h"
#include "jobs/VTRUploadJobValidation.h"
#include "logging/VTRLog.h"
#include "metrics/VTRMetrics.h"
#include "service/VTRUploadDaemonConnectionEnvironment.h"
#include "service/VTRUploadJobService.h"

namespace vtr {

namespace {

using json = nlohmann::json;

// An announced length is only a hint: a client may announce far more than it sends.
constexpr uint64_t kMaxBodyReservation = 1 << 20;
// Job documents are three levels deep. Far deeper input is refused before parsing, because
// writing it back out (into a log line) recurses once per level.
constexpr size_t kMaxBodyNesting = 64;
// The Cocoa error domain's code for JSON text that cannot be read, so that the console line
// reads as the clients' developers know it.
constexpr int64_t kJSONReadCorruptError = 3840;
constexpr const char* kDebugDescriptionKey = "NSDebugDescription";

bool hasError(const VTRError& error) {
    return !error.domain().empty();
}

bool isValidationError(const VTRError& error) {
    return error.domain() == NSCocoaErrorDomain &&
           (error.code() == NSValidationMissingMandatoryPropertyError ||
            error.code() == NSValidationMultipleErrorsError);
}

// One validation error as it is, several as one "multiple validation errors" error.
VTRError combinedValidationError(std::vector<VTRError> violations) {
    if (violations.size() == 1) return std::move(violations.front());
    VTRError error = VTRError::withDescription(NSCocoaErrorDomain, NSValidationMultipleErrorsError,
                                               "Multiple validation errors occurred.");
    error.mutableUserInfo()[NSDetailedErrorsKey] =
        VTRValue(VTRArray(violations.begin(), violations.end()));
    return error;
}

VTRError bodyError(const std::string& description, const std::string& detail = {}) {
    VTRError error =
        VTRError::withDescription(NSCocoaErrorDomain, kJSONReadCorruptError, description);
    if (!detail.empty()) error.mutableUserInfo()[kDebugDescriptionKey] = detail;
    return error;
}

// The deepest nesting of arrays and objects in `text`, counting only brackets outside strings.
size_t nestingDepth(std::string_view text) {
    size_t depth = 0;
    size_t deepest = 0;
    bool inString = false;
    bool escaped = false;
    for (char c : text) {
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
            }
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            deepest = std::max(deepest, ++depth);
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return deepest;
}

std::unique_ptr<HTTPResponse> jsonResponse(const json& object, int64_t status) {
    return std::make_unique<VTRJSONResponse>(valueFromJSON(object), status);
}

std::unique_ptr<HTTPResponse> emptyResponse(int32_t status) {
    return std::make_unique<HTTPErrorResponse>(status);
}

void exitNow(int status) {
    // _exit rather than exit: static destructors would pull the run loop, the server and the
    // upload queue out from under threads that are still running. Every save is already
    // committed; only the log needs flushing.
    VTRLog::flush();
    std::fflush(nullptr);
    ::_exit(status);
}

}  // namespace

VTRUploadDaemonConnection::VTRUploadDaemonConnection(
    HTTPConfig config, std::shared_ptr<VTRUploadDaemonConnectionEnvironment> environment,
    VTRRunLoop& runLoop, Options options)
    : HTTPConnection(std::move(config)),
      environment_(std::move(environment)),
      runLoop_(runLoop),
      options_(std::move(options)) {
    if (!options_.exitProcess) options_.exitProcess = exitNow;
    if (!options_.consoleLog) options_.consoleLog = VTRConsoleLogText;
}

VTRUploadDaemonConnection::~VTRUploadDaemonConnection() = default;

std::function<std::shared_ptr<HTTPConnection>(const HTTPConfig&)>
VTRUploadDaemonConnection::factory(
    std::shared_ptr<VTRUploadDaemonConnectionEnvironment> environment, VTRRunLoop& runLoop,
    Options options) {
    return [environment = std::move(environment), &runLoop,
            options = std::move(options)](const HTTPConfig& config) {
        return std::make_shared<VTRUploadDaemonConnection>(config, environment, runLoop, options);
    };
}

// ---- hooks

bool VTRUploadDaemonConnection::expectsRequestBodyFromMethod(const std::string& method,
                                                             const std::string&) {
    return method == "POST" || method == "PUT";
}

void VTRUploadDaemonConnection::prepareForBodyWithSize(uint64_t contentLength) {
    bodyData_ = std::string();
    if (contentLength != kChunkedBodyLength)
        bodyData_.reserve(static_cast<size_t>(std::min(contentLength, kMaxBodyReservation)));
    requestBody_.reset();
}

void VTRUploadDaemonConnection::processBodyData(std::string_view data) {
    bodyData_.append(data);
}

void VTRUploadDaemonConnection::finishBody() {
    requestBody_ = std::move(bodyData_);
    bodyData_ = std::string();
}

std::unique_ptr<HTTPResponse> VTRUploadDaemonConnection::httpResponseForMethod(
    const std::string& method, const std::string& uri) {
    std::string path = standardizedPathForPath(uri);
    std::string jobID;
    const Route* route = routeFor(method, path, &jobID);
    // A refused request is not acted on at all.
    std::unique_ptr<HTTPResponse> response = refusalOfWebRequest(method, path);
    if (route && !response) response = route->respond(*this, jobID);
    // Only reached when the server did not ask supportsMethod first.
    if (!response) response = emptyResponse(404);
    VTRLogVerbose("{} {} {}", method, path, response->status());
    // Counted by the route's template, so that every job's id does not make a series.
    if (environment_ && environment_->metrics()) {
        environment_->metrics()->countHTTPRequest(route ? route->path : "unknown",
                                                  response->status());
    }
    // The body belongs to this request only.
    requestBody_.reset();
    return response;
}

// ---- helpers

std::unique_ptr<HTTPResponse> VTRUploadDaemonConnection::refusalOfWebRequest(
    const std::string& method, const std::string& path) const {
    std::optional<std::string> reason = VTRWebRequestPolicy::refusalReason(
        request().headerField("Host"), request().headerField("Origin"));
    if (!reason) return nullptr;
    VTRLogWarn("{} {} refused: {}", method, path, *reason);
    return std::make_unique<HTTPDataResponse>(std::string(), 403,
                                              HTTPHeaderList{{"Connection", "close"}});
}

std::optional<json> VTRUploadDaemonConnection::postedJobFromRequest() const {
    if (!requestBody_) return std::nullopt;
    const std::string& body = *requestBody_;
    VTRError error;
    std::optional<json> parsed;
    if (nestingDepth(body) > kMaxBodyNesting) {
        error = bodyError(
            "The data couldn't be read because it isn't in the correct format.",
            fmt::format("JSON text is nested more than {} levels deep.", kMaxBodyNesting));
    } else {
        try {
            parsed = json::parse(body);
        } catch (const json::exception& exception) {
            error = bodyError("The data couldn't be read because it isn't in the correct format.",
                              parserMessageWithoutInput(exception.what()));
        }
        if (parsed && !parsed->is_object()) {
            error = bodyError("The data couldn't be read because it isn't in the correct format.",
                              parsed->is_array() ? "An upload job must be given as a JSON object."
                                                 : "JSON text did not start with array or object.");
            parsed.reset();
        }
    }
    if (!parsed) {
        options_.consoleLog(fmt::format("Failed to parse job from request {} {} error {}",
                                        request().url(), describeUnparsedBody(body),
                                        error.description()));
    }
    return parsed;
}

std::shared_ptr<VTRUploadJobService> VTRUploadDaemonConnection::uploadService() const {
    return environment_ ? environment_->uploadJobService() : nullptr;
}

std::unique_ptr<VTRUploadJobStore> VTRUploadDaemonConnection::newJobStore(VTRError* error) const {
    std::unique_ptr<VTRUploadJobStore> store;
    if (environment_) store = environment_->newJobStore();
    if (!store) {
        setError(error, VTRError::withDescription(NSCocoaErrorDomain, NSPersistentStoreOpenError,
                                                  "The daemon has no job store."));
    }
    return store;
}

bool VTRUploadDaemonConnection::handleStateChangeInJob(VTRManagedUploadJob& job, VTRError* error) {
    VTRUploadJobState state = job.state();
    if (state != VTRUploadJobStateRunning && state != VTRUploadJobStateRestart &&
        state != VTRUploadJobStatePaused) {
        return true;
    }
    std::shared_ptr<VTRUploadJobService> service = uploadService();
    if (!service) {
        if (state == VTRUploadJobStatePaused) return true;  // nothing can be running
        setError(error, VTRError::withDescription(VTRErrorDomain, 0,
                                                  "The daemon has no upload job service."));
        return false;
    }
    std::string jobID = job.jobID().value_or("");
    switch (state) {
        case VTRUploadJobStateRunning:
            return service->uploadJobWithID(jobID, error);
        case VTRUploadJobStateRestart:
            return service->restartUploadForJobWithJobID(jobID, error);
        default:
            service->cancelJobWithJobID(jobID);
            return true;
    }
}

json VTRUploadDaemonConnection::storedForm(const VTRManagedUploadJob& job) const {
    // Starting or restarting an upload changes the job (file sizes, progress, error) through
    // the job service's own store; the client is answered with what is stored now.
    // The event streams read the job from the store themselves.
    std::string jobID = job.jobID().value_or("");
    if (options_.events) options_.events->jobChanged(jobID);
    VTRUploadJobState state = job.state();
    if (state == VTRUploadJobStateRunning || state == VTRUploadJobStateRestart) {
        std::unique_ptr<VTRUploadJobStore> store = newJobStore(nullptr);
        if (const VTRManagedUploadJob* current = store ? store->jobWithID(jobID, nullptr) : nullptr)
            return current->dictionaryRepresentation();
    }
    return job.dictionaryRepresentation();
}

// ---- handlers

std::unique_ptr<HTTPResponse> VTRUploadDaemonConnection::handleKillDaemon() {
    runLoop_.postAfter(options_.restartDelay,
                       [exitProcess = options_.exitProcess] { exitProcess(0); });
    VTRLogWarn("Restarting daemon");
    return emptyResponse(200);
}

std::unique_ptr<HTTPResponse> VTRUploadDaemonConnection::handleGetJobs() {
    VTRError error;
    std::unique_ptr<VTRUploadJobStore> store = newJobStore(&error);
    std::optional<std::vector<VTRManagedUploadJob*>> jobs;
    if (store) jobs = store->allJobs(&error);
    if (!jobs) {
        VTRLogWarn("GET /jobs failed to retrieve all jobs: {}", error.description());
        return emptyResponse(500);
    }
    VTRLogVerbose("GET /jobs succeeded");
    return VTRJobListResponse(*jobs);
}

std::unique_ptr<HTTPResponse> VTRUploadDaemonConnection::handleGetActivity() {
    // Without a job service nothing uploads.
    json list = json::array();
    if (std::shared_ptr<VTRUploadJobService> service = uploadService()) {
        for (const VTRJobActivity& entry : service->currentActivities())
            list.push_back(VTRActivityForm(entry));
    }
    return jsonResponse(list, 200);
}

std::unique_ptr<HTTPResponse> VTRUploadDaemonConnection::handleGetEvents() {
    VTRError error;
    if (!options_.events) return emptyResponse(404);
    std::unique_ptr<VTRUploadJobStore> store = newJobStore(&error);
    if (!store) {
        VTRLogWarn("GET /events failed: {}", error.description());
        return emptyResponse(500);
    }
    HTTPStreamOptions streamOptions;
    streamOptions.headers = {{"Content-Type", "text/event-stream"}, {"Cache-Control", "no-cache"}};
    streamOptions.keepAliveInterval = options_.events->options().keepAliveInterval;
    streamOptions.keepAliveMessage = ": keep-alive\n\n";
    auto [stream, response] = HTTPStream::open(*this, std::move(streamOptions));
    options_.events->subscribe(std::move(stream), [&store] {
        VTRError readError;
        std::optional<std::vector<VTRManagedUploadJob*>> jobs = store->allJobs(&readError);
        std::vector<std::string> forms;
        if (!jobs) {
            VTRLogWarn("GET /events failed to read the jobs: {}", readError.description());
            return forms;
        }
        for (const VTRManagedUploadJob* job : *jobs)
            if (std::optional<std::string> form = VTRJobFormText(*job)) forms.push_back(*form);
        return forms;
    });
    return std::move(response);
}

std::unique_ptr<HTTPResponse> VTRUploadDaemonConnection::handleGetJobWithID(
    const std::string& jobID) {
    VTRError error;
    std::unique_ptr<VTRUploadJobStore> store = newJobStore(&error);
    VTRManagedUploadJob* job = store ? store->jobWithID(jobID, &error) : nullptr;
    if (job) {
        VTRLogInfo("GET /jobs/{} succeeded", jobID);
        return VTRJobFormResponse(*job);
    }
    if (hasError(error)) {
        VTRLogWarn("GET /jobs/{} failed to fetch job: {}", jobID, error.description());
        return emptyResponse(500);
    }
    VTRLogInfo("GET /jobs/{} No job found", jobID);
    return emptyResponse(404);
}

std::unique_ptr<HTTPResponse> VTRUploadDaemonConnection::handlePutJobWithID(
    const std::string& jobID) {
    std::optional<json> posted = postedJobFromRequest();
    if (!posted) {
        VTRLogError("PUT /jobs/{} failed, no valid body was posted", jobID);
        return emptyResponse(406);
    }
    std::string described = describePostedJob(*posted);

    VTRError error;
    std::unique_ptr<VTRUploadJobStore> store = newJobStore(&error);
    VTRManagedUploadJob* existing = store ? store->jobWithID(jobID, &error) : nullptr;
    if (!existing && hasError(error)) {
        VTRLogWarn("PUT /jobs/{} ({}) failed to fetch job: {}", jobID, described,
                   error.description());
        return emptyResponse(500);
    }

    if (!existing) return putNewJob(jobID, *posted, described, *store);
    return putExistingJob(jobID, *posted, described, *store, *existing);
}

std::unique_ptr<HTTPResponse> VTRUploadDaemonConnection::putNewJob(const std::string& jobID,
                                                                   const json& posted,
                                                                   const std::string& described,
                                                                   VTRUploadJobStore& store) {
    VTRError error;
    // A job stored under another id than its path's could never be found, updated or
    // deleted through that path, and every repeat of the request would add one more.
    auto postedID = posted.find("id");
    if (postedID != posted.end() && postedID->is_string() &&
        postedID->get_ref<const std::string&>() != jobID) {
        error = VTRUploadJobValidation::validationError(
            "id", fmt::format("The job's \"id\" ({}) differs from the request's path ({}).",
                              postedID->get_ref<const std::string&>(), jobID));
        VTRLogWarn("PUT /jobs/{} ({}) request failed model validation: {}", jobID, described,
                   error.description());
        return emptyResponse(406);
    }
    VTRManagedUploadJob* job = store.addJob(posted, &error);
    if (!job) {
        if (isValidationError(error)) {
            VTRLogWarn("PUT /jobs/{} ({}) request failed model validation: {}", jobID, described,
                       error.description());
            return emptyResponse(406);
        }
        VTRLogWarn("PUT /jobs/{} ({}) failed to add new job, reason: {}", jobID, described,
                   error.description());
        return emptyResponse(500);
    }
    if (!handleStateChangeInJob(*job, &error)) {
        VTRLogWarn("PUT /jobs/{} ({}) failed to restart upload: {}", jobID, described,
                   error.description());
        return emptyResponse(500);
    }
    VTRLogInfo("PUT /jobs/{} ({}) successfully added new job", jobID, described);
    return jsonResponse(storedForm(*job), 201);
}

std::unique_ptr<HTTPResponse> VTRUploadDaemonConnection::putExistingJob(
    const std::string& jobID, const json& posted, const std::string& described,
    VTRUploadJobStore& store, VTRManagedUploadJob& existing) {
    VTRError error;
    // Checked here as well as at the save: an update that changes nothing saves nothing, and so
    // would pass ill-typed input and act on the job's state as if it were valid.
    if (std::vector<VTRError> violations = VTRUploadJobValidation::updateInputErrors(posted);
        !violations.empty()) {
        VTRLogWarn("PUT /jobs/{} ({}) request failed model validation: {}", jobID, described,
                   combinedValidationError(std::move(violations)).description());
        return emptyResponse(406);
    }
    existing.updateWithDictionary(posted);
    if (!store.saveJob(&existing, &error)) {
        if (isValidationError(error)) {
            VTRLogWarn("PUT /jobs/{} ({}) request failed model validation: {}", jobID, described,
                       error.description());
            return emptyResponse(406);
        }
        VTRLogWarn("PUT /jobs/{} ({}) failed to save updated job: {}", jobID, described,
                   error.description());
        return emptyResponse(500);
    }
    // A save that met a concurrent one may have stored another state than the one asked for
    // (the more important of the two wins): act on what is stored, not on the request.
    std::unique_ptr<VTRUploadJobStore> current = newJobStore(nullptr);
    VTRManagedUploadJob* stored = current ? current->jobWithID(jobID, nullptr) : nullptr;
    VTRManagedUploadJob& job = stored ? *stored : existing;
    if (!handleStateChangeInJob(job, &error)) {
        VTRLogWarn("PUT /jobs/{} ({}) failed to restart upload: {}", jobID, described,
                   error.description());
        return emptyResponse(500);
    }
    VTRLogInfo("PUT /jobs/{} ({}) succeeded", jobID, described);
    return jsonResponse(storedForm(job), 200);
}

std::unique_ptr<HTTPResponse> VTRUploadDaemonConnection::handleDeleteJobWithID(
    const std::string& jobID) {
    VTRError error;
    std::unique_ptr<VTRUploadJobStore> store = newJobStore(&error);
    bool deleted = store && store->deleteJobWithID(jobID, &error);
    if (deleted) {
        // The record goes first, then any upload of it is stopped.
        if (std::shared_ptr<VTRUploadJobService> service = uploadService())
            service->cancelJobWithJobID(jobID);
        if (options_.events) options_.events->jobRemoved(jobID);
        VTRLogInfo("DELETE /jobs/{} succeeded", jobID);
        return emptyResponse(200);
    }
    if (hasError(error)) {
        VTRLogWarn("DELETE /jobs/{} failed to find job to delete: {}", jobID, error.description());
        return emptyResponse(500);
    }
    VTRLogWarn("DELETE /jobs/{} does not exist", jobID);
    return emptyResponse(404);
}

}  // namespace vtr
