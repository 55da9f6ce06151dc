#include "api/VTRUploadDaemonConnection.h"
#include "api/VTRJSONValue.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "foundation/VTRRunLoop.h"
#include "httpserver/HTTPDataResponse.h"
#include "httpserver/HTTPErrorResponse.h"
#include "httpserver/VTRJSONResponse.h"
#include "jobs/VTRManagedUploadJob.h"
#include "jobs/VTRObjectContext.h"
#include "jobs/VTRSQLiteUploadJobStore.h"
#include "jobs/VTRStoreCoordinator.h"
#include "jobs/VTRUploadJobValidation.h"
#include "logging/VTRLog.h"
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
// The console gets at most this much of an unparsable body.
constexpr size_t kMaxLoggedBodyBytes = 4096;
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

// A body as the console shows it: printable ASCII as is, everything else escaped (so a body
// cannot forge log lines), cut short when long.
std::string printableBody(std::string_view body) {
    std::string out;
    std::string_view shown = body.substr(0, kMaxLoggedBodyBytes);
    for (char c : shown) {
        auto byte = static_cast<unsigned char>(c);
        if (c == '\\') {
            out.append("\\\\");
        } else if (byte >= 0x20 && byte < 0x7F) {
            out.push_back(c);
        } else if (c == '\n') {
            out.append("\\n");
        } else if (c == '\r') {
            out.append("\\r");
        } else if (c == '\t') {
            out.append("\\t");
        } else {
            fmt::format_to(std::back_inserter(out), "\\x{:02x}", byte);
        }
    }
    if (shown.size() < body.size())
        fmt::format_to(std::back_inserter(out), "... ({} bytes)", body.size());
    return out;
}

// `body` with the value of every "credentials" member masked, read leniently so that text
// that is not JSON (cut short, an unterminated string, a bare word) is masked as well.
std::string withoutCredentials(std::string_view body) {
    static constexpr std::string_view kKey = "\"credentials\"";
    static constexpr std::string_view kMask = "********";
    static constexpr std::string_view kSpace = " \t\r\n";
    static constexpr std::string_view kValueEnd = ",}]\r\n";
    std::string out;
    size_t copied = 0;
    for (size_t key = body.find(kKey); key != std::string_view::npos;
         key = body.find(kKey, copied)) {
        size_t position = key + kKey.size();
        auto skipSpace = [&] {
            while (position < body.size() && kSpace.find(body[position]) != kSpace.npos) ++position;
        };
        skipSpace();
        if (position >= body.size() || body[position] != ':') {
            out.append(body.substr(copied, position - copied));
            copied = position;
            continue;
        }
        ++position;
        skipSpace();
        size_t valueStart = position;
        if (position < body.size() && body[position] == '"') {
            // Up to the closing quote that is not escaped, or the end of the text.
            ++valueStart;
            ++position;
            while (position < body.size() && body[position] != '"')
                position += body[position] == '\\' ? 2 : 1;
            position = std::min(position, body.size());
        } else {
            while (position < body.size() && kValueEnd.find(body[position]) == kValueEnd.npos)
                ++position;
        }
        out.append(body.substr(copied, valueStart - copied));
        out.append(kMask);
        copied = position;
    }
    out.append(body.substr(copied));
    return out;
}

// The parser's message without the piece of text it quotes ("last read: '...'"), which may be
// a piece of the credentials; the body itself is logged with them masked.
std::string parserMessage(const json::exception& exception) {
    std::string text = exception.what();
    size_t token = text.find("; last read: '");
    if (token != std::string::npos) {
        size_t expected = text.find("'; expected ", token);
        text.erase(token, expected == std::string::npos ? std::string::npos : expected + 1 - token);
    }
    return text;
}

// "localhost", an IPv4 loopback address (127.0.0.0/8) or "[::1]", each with or without a
// port: the names under which a local client reaches the daemon.
bool isLoopbackHost(std::string_view host) {
    std::string_view name = host;
    std::string_view port;
    if (!host.empty() && host.front() == '[') {
        size_t close = host.find(']');
        if (close == std::string_view::npos) return false;
        name = host.substr(1, close - 1);
        std::string_view rest = host.substr(close + 1);
        if (!rest.empty() && rest.front() != ':') return false;
        if (!rest.empty()) port = rest.substr(1);
        in6_addr address{};
        if (!inet_pton(AF_INET6, std::string(name).c_str(), &address) ||
            !IN6_IS_ADDR_LOOPBACK(&address))
            return false;
    } else {
        size_t colon = host.find(':');
        if (colon != std::string_view::npos) {
            name = host.substr(0, colon);
            port = host.substr(colon + 1);
        }
        in_addr address{};
        bool loopbackAddress = inet_pton(AF_INET, std::string(name).c_str(), &address) == 1 &&
                               (ntohl(address.s_addr) >> 24) == 127;
        if (!loopbackAddress && !HTTPEqualsIgnoringCase(name, "localhost")) return false;
    }
    if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string_view::npos)
        return false;
    return port.empty() || std::stoul(std::string(port)) <= 65535;
}

// http(s) on a loopback host. "null" is refused: any web page can send it from a sandboxed
// frame, and the recording application sends no Origin at all.
bool isLocalOrigin(std::string_view origin) {
    for (std::string_view scheme : {"http://", "https://"}) {
        if (origin.size() > scheme.size() &&
            HTTPEqualsIgnoringCase(origin.substr(0, scheme.size()), scheme))
            return isLoopbackHost(origin.substr(scheme.size()));
    }
    return false;
}

// The posted job for log lines, without the credentials it carries: the log files and the
// system log are readable by more people than the job database.
std::string describePosted(const json& posted) {
    if (!posted.is_object() || !posted.contains("credentials"))
        return posted.dump(-1, ' ', false, json::error_handler_t::replace);
    json shown = posted;
    shown["credentials"] = "********";
    return shown.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::unique_ptr<HTTPResponse> jsonResponse(const json& object, int64_t status) {
    return std::make_unique<VTRJSONResponse>(valueFromJSON(object), status);
}

std::unique_ptr<HTTPResponse> emptyResponse(int32_t status) {
    return std::make_unique<HTTPErrorResponse>(status);
}

const VTRValue& indexDocument() {
    static const VTRValue document = [] {
        auto resource = [](const char* path, const char* method, const char* description) {
            return VTRValue(
                VTRDictionary{{"path", path}, {"method", method}, {"description", description}});
        };
        VTRArray resources{
            resource("/", "GET", "This helpful documentation resource"),
            resource("/restart", "POST", "Restart the daemon"),
            resource("/jobs", "GET", "Get a list of current jobs"),
            resource("/jobs/:id", "PUT", "Add a new job for processing"),
            resource("/jobs/:id", "GET", "Get information about a specific job"),
            resource("/jobs/:id", "DELETE", "Remove a specific job"),
            resource("/activity", "GET", "What each upload in progress is doing now"),
        };
        return VTRValue(VTRDictionary{{"resources", VTRValue(std::move(resources))}});
    }();
    return document;
}

void exitNow(int status) {
    // _exit rather than exit: static destructors would pull the run loop, the server and the
    // upload queue out from under threads that are still running. Every save is already
    // committed; only the log needs flushing.
    VTRLog::flush();
    std::fflush(nullptr);
    ::_exit(status);
}

// One upload's activity: its phase, the file in progress, the recent rate and the retry it
// waits on, so that a person can tell a slow upload from a stuck one.
json activityForm(const VTRJobActivity& entry) {
    const VTRUploadActivitySnapshot& activity = entry.activity;
    json retry = nullptr;
    if (activity.retry) {
        retry = {{"attempt", activity.retry->attempt},
                 {"method", activity.retry->method},
                 {"next_attempt_in_seconds", activity.retry->nextAttemptInSeconds},
                 {"reason", activity.retry->reason}};
    }
    return {{"bytes_per_second", activity.bytesPerSecond},
            {"file", activity.file ? json(*activity.file) : json(nullptr)},
            {"id", entry.jobID},
            {"phase", VTRUploadPhaseName(activity.phase)},
            {"retry", std::move(retry)}};
}

bool isJobPath(const std::vector<std::string>& components) {
    return components.size() == 2 && components[0] == "jobs";
}

}  // namespace

VTRUploadDaemonConnection::VTRUploadDaemonConnection(HTTPConfig config)
    : VTRUploadDaemonConnection(std::move(config),
                                VTRUploadDaemonConnectionEnvironment::sharedInstance()) {}

VTRUploadDaemonConnection::VTRUploadDaemonConnection(
    HTTPConfig config, std::shared_ptr<VTRUploadDaemonConnectionEnvironment> environment,
    Options options)
    : HTTPConnection(std::move(config)),
      environment_(std::move(environment)),
      options_(std::move(options)) {
    if (!options_.exitProcess) options_.exitProcess = exitNow;
    if (!options_.consoleLog) options_.consoleLog = VTRConsoleLogText;
}

VTRUploadDaemonConnection::~VTRUploadDaemonConnection() = default;

std::function<std::shared_ptr<HTTPConnection>(const HTTPConfig&)>
VTRUploadDaemonConnection::factory(
    std::shared_ptr<VTRUploadDaemonConnectionEnvironment> environment, Options options) {
    return [environment = std::move(environment),
            options = std::move(options)](const HTTPConfig& config) {
        return std::make_shared<VTRUploadDaemonConnection>(config, environment, options);
    };
}

// ---- paths

std::string VTRUploadDaemonConnection::standardizedPathForPath(std::string_view path) {
    std::vector<std::string_view> kept;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = std::min(path.find('/', start), path.size());
        std::string_view component = path.substr(start, end - start);
        if (component == "..") {
            if (!kept.empty()) kept.pop_back();
        } else if (!component.empty() && component != ".") {
            kept.push_back(component);
        }
        start = end + 1;
    }
    std::string result = !path.empty() && path.front() == '/' ? "/" : "";
    for (size_t i = 0; i < kept.size(); ++i) {
        if (i > 0) result.push_back('/');
        result.append(kept[i]);
    }
    return result.empty() ? "/" : result;
}

std::vector<std::string> VTRUploadDaemonConnection::pathComponentsFromPath(std::string_view path) {
    std::vector<std::string> components;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = std::min(path.find('/', start), path.size());
        if (end > start) components.emplace_back(path.substr(start, end - start));
        start = end + 1;
    }
    return components;
}

// ---- hooks

bool VTRUploadDaemonConnection::expectsRequestBodyFromMethod(const std::string& method,
                                                             const std::string&) {
    return method == "POST" || method == "PUT";
}

bool VTRUploadDaemonConnection::supportsMethod(const std::string& method, const std::string& path) {
    std::string standardized = standardizedPathForPath(path);
    if (method == "GET" &&
        (standardized == "/" || standardized == "/jobs" || standardized == "/activity"))
        return true;
    if (method == "POST" && standardized == "/restart") return true;
    if (method != "PUT" && method != "GET" && method != "DELETE") return false;
    return isJobPath(pathComponentsFromPath(standardized));
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
    std::vector<std::string> components = pathComponentsFromPath(path);
    std::unique_ptr<HTTPResponse> response = refusalOfWebRequest(method, path);
    if (response) {
        // Nothing of the request is acted on.
    } else if (method == "GET" && path == "/") {
        response = handleIndexRequest();
    } else if (method == "POST" && path == "/restart") {
        response = handleKillDaemon();
    } else if (method == "GET" && path == "/jobs") {
        response = handleGetJobs();
    } else if (method == "GET" && path == "/activity") {
        response = handleGetActivity();
    } else if (isJobPath(components)) {
        if (method == "GET") {
            response = handleGetJobWithID(components[1]);
        } else if (method == "PUT") {
            response = handlePutJobWithID(components[1]);
        } else if (method == "DELETE") {
            response = handleDeleteJobWithID(components[1]);
        } else {
            response = emptyResponse(405);
        }
    }
    if (!response) response = emptyResponse(404);
    VTRLogVerbose("{} {} {}", method, path, response->status());
    // The body belongs to this request only.
    requestBody_.reset();
    return response;
}

// ---- helpers

std::unique_ptr<HTTPResponse> VTRUploadDaemonConnection::refusalOfWebRequest(
    const std::string& method, const std::string& path) const {
    std::optional<std::string> host = request().headerField("Host");
    std::optional<std::string> origin = request().headerField("Origin");
    if (host && !isLoopbackHost(*host)) {
        // A page whose name was made to point at this machine (DNS rebinding) still sends
        // its own name.
        VTRLogWarn("{} {} refused: the Host header \"{}\" names no loopback address", method, path,
                   printableBody(*host));
    } else if (origin && !isLocalOrigin(*origin)) {
        VTRLogWarn("{} {} refused: the request comes from the web page \"{}\"", method, path,
                   printableBody(*origin));
    } else {
        return nullptr;
    }
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
                              parserMessage(exception));
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
                                        request().url(), printableBody(withoutCredentials(body)),
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
    VTRUploadJobState state = job.state();
    if (state == VTRUploadJobStateRunning || state == VTRUploadJobStateRestart) {
        std::unique_ptr<VTRUploadJobStore> store = newJobStore(nullptr);
        if (const VTRManagedUploadJob* current =
                store ? store->jobWithID(job.jobID().value_or(""), nullptr) : nullptr) {
            return current->dictionaryRepresentation();
        }
    }
    return job.dictionaryRepresentation();
}

// ---- handlers

std::unique_ptr<HTTPResponse> VTRUploadDaemonConnection::handleIndexRequest() {
    return std::make_unique<VTRJSONResponse>(indexDocument(), 200);
}

std::unique_ptr<HTTPResponse> VTRUploadDaemonConnection::handleKillDaemon() {
    VTRRunLoop& loop = options_.runLoop ? *options_.runLoop : VTRRunLoop::main();
    loop.postAfter(options_.restartDelay, [exitProcess = options_.exitProcess] { exitProcess(0); });
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
    json list = json::array();
    for (const VTRManagedUploadJob* job : *jobs) list.push_back(job->dictionaryRepresentation());
    VTRLogVerbose("GET /jobs succeeded");
    return jsonResponse(list, 200);
}

std::unique_ptr<HTTPResponse> VTRUploadDaemonConnection::handleGetActivity() {
    // Without a job service nothing uploads.
    json list = json::array();
    if (std::shared_ptr<VTRUploadJobService> service = uploadService()) {
        for (const VTRJobActivity& entry : service->currentActivities())
            list.push_back(activityForm(entry));
    }
    return jsonResponse(list, 200);
}

std::unique_ptr<HTTPResponse> VTRUploadDaemonConnection::handleGetJobWithID(
    const std::string& jobID) {
    VTRError error;
    std::unique_ptr<VTRUploadJobStore> store = newJobStore(&error);
    VTRManagedUploadJob* job = store ? store->jobWithID(jobID, &error) : nullptr;
    if (job) {
        VTRLogInfo("GET /jobs/{} succeeded", jobID);
        return jsonResponse(job->dictionaryRepresentation(), 200);
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
    std::string described = describePosted(*posted);

    VTRError error;
    std::unique_ptr<VTRUploadJobStore> store = newJobStore(&error);
    VTRManagedUploadJob* existing = store ? store->jobWithID(jobID, &error) : nullptr;
    if (!existing && hasError(error)) {
        VTRLogWarn("PUT /jobs/{} ({}) failed to fetch job: {}", jobID, described,
                   error.description());
        return emptyResponse(500);
    }

    if (!existing) {
        // A job stored under another id than its path's could never be found, updated or
        // deleted through that path, and every repeat of the request would add one more.
        auto postedID = posted->find("id");
        if (postedID != posted->end() && postedID->is_string() &&
            postedID->get_ref<const std::string&>() != jobID) {
            error = VTRUploadJobValidation::validationError(
                "id", fmt::format("The job's \"id\" ({}) differs from the request's path ({}).",
                                  postedID->get_ref<const std::string&>(), jobID));
            VTRLogWarn("PUT /jobs/{} ({}) request failed model validation: {}", jobID, described,
                       error.description());
            return emptyResponse(406);
        }
        VTRManagedUploadJob* job = store->addJob(*posted, &error);
        if (!job) {
            if (isValidationError(error)) {
                VTRLogWarn("PUT /jobs/{} ({}) request failed model validation: {}", jobID,
                           described, error.description());
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

    // Checked here as well as at the save: an update that changes nothing saves nothing, and so
    // would pass ill-typed input and act on the job's state as if it were valid.
    if (std::vector<VTRError> violations = VTRUploadJobValidation::updateInputErrors(*posted);
        !violations.empty()) {
        VTRLogWarn("PUT /jobs/{} ({}) request failed model validation: {}", jobID, described,
                   combinedValidationError(std::move(violations)).description());
        return emptyResponse(406);
    }
    existing->updateWithDictionary(*posted);
    if (!store->saveJob(existing, &error)) {
        if (isValidationError(error)) {
            VTRLogWarn("PUT /jobs/{} ({}) request failed model validation: {}", jobID, described,
                       error.description());
            return emptyResponse(406);
        }
        VTRLogWarn("PUT /jobs/{} ({}) failed to save updated job: {}", jobID, described,
                   error.description());
        return emptyResponse(500);
    }
    if (!handleStateChangeInJob(*existing, &error)) {
        VTRLogWarn("PUT /jobs/{} ({}) failed to restart upload: {}", jobID, described,
                   error.description());
        return emptyResponse(500);
    }
    VTRLogInfo("PUT /jobs/{} ({}) succeeded", jobID, described);
    return jsonResponse(storedForm(*existing), 200);
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
