#include "FakeRecordingService.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <regex>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "SOAPRequestReader.h"
#include "foundation/VTRDataAdditions.h"
#include "foundation/VTRMD5.h"
#include "foundation/VTRStringAdditions.h"
#include "soap/VTRSOAPMethodCaller.h"

namespace vtr::fake {

namespace {

using json = nlohmann::json;

constexpr const char* kEmptyResult = "\x01";
constexpr const char* kResponseBoundary = "uuid:fake-recording-service+id=1";

std::string xmlEscaped(const std::string& text) {
    return VTRSOAPMethodCaller::serializeCharacters(text);
}

int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::optional<uint64_t> parseOffset(const std::string& text) {
    if (text.empty() || text.size() > 19 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    return std::stoull(text);
}

// A relative name without empty, "." or ".." components (and, for sessions, no "/").
bool safeName(const std::string& name, bool allowSlash) {
    if (name.empty() || name.find('\0') != std::string::npos) return false;
    if (!allowSlash && name.find('/') != std::string::npos) return false;
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find('/', start);
        if (end == std::string::npos) end = name.size();
        std::string part = name.substr(start, end - start);
        if (part.empty() || part == "." || part == "..") return false;
        start = end + 1;
    }
    return true;
}

FakeReply jsonReply(int status, const json& value) {
    return FakeReply{status,
                     {{"Content-Type", "application/json"}},
                     value.dump(2) + "\n",
                     false,
                     std::chrono::milliseconds(0)};
}

}  // namespace

FakeRecordingService::FakeRecordingService(Options options)
    : options_(std::move(options)), random_(options_.seed) {}

FakeReply FakeRecordingService::handle(const std::string& method, const std::string& target,
                                       const std::string* contentType,
                                       const std::string* soapAction, const std::string& body) {
    std::lock_guard lock(mutex_);
    std::string path = target.substr(0, target.find('?'));
    if (path == "/control" || path.rfind("/control/", 0) == 0) {
        return handleControl(method, path, body);
    }
    if (method != "POST") {
        return FakeReply{405,
                         {{"Content-Type", "text/plain"}},
                         "POST SOAP requests here\n",
                         false,
                         std::chrono::milliseconds(0)};
    }
    return handleSOAP(contentType, soapAction, body);
}

FakeReply FakeRecordingService::soapResponse(const std::string& method, const std::string& result,
                                             bool empty, bool mtom) const {
    std::string resultElement =
        empty ? fmt::format("<{}Result/>", method)
              : fmt::format("<{0}Result>{1}</{0}Result>", method, xmlEscaped(result));
    std::string xml = fmt::format(
        "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body>"
        "<{0}Response xmlns=\"{1}\">{2}</{0}Response></s:Body></s:Envelope>",
        method, VTRRecordingServiceNamespace, resultElement);
    FakeReply reply;
    if (!mtom || options_.plainResponses) {
        reply.headers = {{"Content-Type", "text/xml; charset=utf-8"}};
        reply.body = std::move(xml);
        return reply;
    }
    reply.headers = {
        {"Content-Type",
         fmt::format("multipart/related; type=\"application/xop+xml\";start=\"<{0}/0>\";"
                     "boundary=\"{1}\";start-info=\"text/xml\"",
                     VTRRecordingServiceNamespace, kResponseBoundary)}};
    reply.body = fmt::format(
        "--{0}\r\nContent-ID: <{1}/0>\r\nContent-Transfer-Encoding: 8bit\r\n"
        "Content-Type: "
        "application/xop+xml;charset=utf-8;type=\"text/xml\"\r\n\r\n{2}\r\n--{0}--\r\n",
        kResponseBoundary, VTRRecordingServiceNamespace, xml);
    return reply;
}

FakeReply FakeRecordingService::soapFault(int status, const std::string& errorCode,
                                          const std::string& text) const {
    FakeReply reply;
    reply.status = status;
    reply.headers = {{"Content-Type", "text/xml; charset=utf-8"}};
    if (!errorCode.empty()) reply.headers.emplace_back("X-VTRErrorCode", errorCode);
    reply.body = fmt::format(
        "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body><s:Fault>"
        "<faultcode>s:Client</faultcode><faultstring xml:lang=\"en-US\">{}</faultstring>"
        "</s:Fault></s:Body></s:Envelope>",
        xmlEscaped(text));
    return reply;
}

std::string FakeRecordingService::filePath(const std::string& session,
                                           const std::string& file) const {
    return options_.dataDirectory + "/" + session + "/" + file;
}

FakeRecordingService::FileState& FakeRecordingService::state(const std::string& session,
                                                             const std::string& file) {
    auto key = std::make_pair(session, file);
    auto found = files_.find(key);
    if (found != files_.end()) return found->second;
    // A file left by an earlier run of the service is resumed at its stored length.
    FileState fresh;
    struct stat info {};
    if (::stat(filePath(session, file).c_str(), &info) == 0 && S_ISREG(info.st_mode))
        fresh.size = static_cast<uint64_t>(info.st_size);
    return files_.emplace(key, fresh).first->second;
}

std::string FakeRecordingService::md5OfFile(const std::string& path, uint64_t size) const {
    VTRMD5 md5;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        std::vector<uint8_t> buffer(1 << 20);
        uint64_t left = size;
        while (left > 0) {
            ssize_t n = ::read(fd, buffer.data(), std::min<uint64_t>(buffer.size(), left));
            if (n <= 0) break;
            md5.update(buffer.data(), static_cast<size_t>(n));
            left -= static_cast<uint64_t>(n);
        }
        ::close(fd);
    }
    return base64String(md5.finish());
}

FakeRecordingService::FaultRule* FakeRecordingService::firingRule(const std::string& method,
                                                                  const std::string& file,
                                                                  std::optional<uint64_t> offset) {
    for (FaultRule& rule : faults_) {
        if (rule.method != "*" && rule.method != method) continue;
        if (rule.file && *rule.file != file) continue;
        if (rule.offset && rule.offset != offset) continue;
        if (rule.remaining == 0) continue;
        if (rule.after > 0) {
            --rule.after;
            continue;
        }
        if (rule.probability < 1.0 &&
            std::uniform_real_distribution<double>(0.0, 1.0)(random_) >= rule.probability)
            continue;
        if (rule.remaining > 0) --rule.remaining;
        ++rule.fired;
        return &rule;
    }
    return nullptr;
}

FakeRecordingService::Outcome FakeRecordingService::perform(
    const std::string& method, const std::map<std::string, std::string>& params, uint64_t* length) {
    auto param = [&](const char* name) -> const std::string* {
        auto found = params.find(name);
        return found == params.end() ? nullptr : &found->second;
    };
    auto succeeded = [](std::string result) {
        Outcome outcome;
        outcome.result = std::move(result);
        return outcome;
    };
    auto fault = [](int status, std::string code, std::string text) {
        return Outcome{false, {}, status, std::move(code), std::move(text)};
    };

    if (method == "ChunkSize") return succeeded(std::to_string(options_.chunkSize));

    const std::string* session = param("sessionID");
    const std::string* file = param("fileName");
    if (!session || !file)
        return fault(500, "MissingParameter", "sessionID and fileName are required");
    if (!safeName(*session, false) || !safeName(*file, true))
        return fault(500, "InvalidFileName", "unusable session id or file name");
    FileState& stored = state(*session, *file);
    std::string path = filePath(*session, *file);

    if (method == "UploadChunk") {
        const std::string* buffer = param("buffer");
        const std::string* offsetText = param("offset");
        if (!buffer || !offsetText)
            return fault(500, "MissingParameter", "buffer and offset are required");
        std::optional<uint64_t> offset = parseOffset(*offsetText);
        if (!offset) return fault(500, "InvalidOffset", "offset is not a number: " + *offsetText);
        *length = buffer->size();
        if (*offset > stored.size) {
            return fault(500, "OutOfOrderUploadChunk",
                         fmt::format("Chunk at offset {} but only {} bytes are stored", *offset,
                                     stored.size));
        }
        std::error_code ignored;
        std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) return fault(500, "StorageFailure", "cannot open " + path);
        bool ok = ::ftruncate(fd, static_cast<off_t>(*offset)) == 0;
        size_t written = 0;
        while (ok && written < buffer->size()) {
            ssize_t n = ::pwrite(fd, buffer->data() + written, buffer->size() - written,
                                 static_cast<off_t>(*offset + written));
            ok = n > 0;
            if (ok) written += static_cast<size_t>(n);
        }
        ::close(fd);
        if (!ok) return fault(500, "StorageFailure", "cannot write " + path);
        stored.size = *offset + buffer->size();
        stored.closed = false;
        stored.closeCalls = 0;
        return succeeded(base64String(md5Digest(*buffer)));
    }
    if (method == "VerifyFile") {
        const std::string* checksum = param("checksum");
        static const std::regex kBase64MD5("^[A-Za-z0-9+/]{22}==$");
        if (!checksum || !std::regex_match(*checksum, kBase64MD5))
            return fault(500, "MalformedChecksum", "checksum is not a Base64 MD5 digest");
        return succeeded(md5OfFile(path, stored.size) == *checksum ? "true" : "false");
    }
    if (method == "TryCloseFile") {
        if (stored.closed) return succeeded("Uploaded");
        if (++stored.closeCalls <= options_.closeUploadingCount) return succeeded("Uploading");
        // A recording may hold an empty file: it never got a chunk but still closes.
        std::error_code ignored;
        std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0) ::close(fd);
        stored.closed = true;
        return succeeded("Uploaded");
    }
    return fault(500, "ActionNotSupported", "unknown method " + method);
}

FakeReply FakeRecordingService::handleSOAP(const std::string* contentType,
                                           const std::string* soapAction, const std::string& body) {
    std::string problem;
    std::optional<SOAPCall> call = readSOAPRequest(contentType, body, &problem);
    CallRecord record{nowMs(), {}, {}, {}, {}, {}, std::nullopt, 0, 200};
    if (!call) {
        record.method = "?";
        record.status = 400;
        record.fault = problem;
        calls_.push_back(record);
        return soapFault(400, "BadRequest", problem);
    }
    record.method = call->method;
    record.session = call->parameters.count("sessionID") ? call->parameters["sessionID"] : "";
    record.file = call->parameters.count("fileName") ? call->parameters["fileName"] : "";
    if (call->parameters.count("offset")) record.offset = parseOffset(call->parameters["offset"]);

    std::string ext = VTRRecordingServiceExtension;
    std::string expectedAction = fmt::format(
        "\"{}\"",
        VTRSOAPMethodCaller::combineNamespace(VTRRecordingServiceNamespace, &ext, &call->method));
    if (!soapAction || *soapAction != expectedAction) {
        record.status = 500;
        record.fault = "SOAPAction mismatch";
        calls_.push_back(record);
        return soapFault(500, "ActionNotSupported",
                         "SOAPAction must be " + expectedAction + " for " + call->method);
    }
    if (call->parameters.count("buffer") && !call->fromAttachment.count("buffer")) {
        std::optional<VTRBytes> decoded = base64DecodedData(call->parameters["buffer"]);
        if (!decoded) {
            record.status = 500;
            record.fault = "buffer is not Base64";
            calls_.push_back(record);
            return soapFault(500, "MalformedBuffer", "buffer is neither an attachment nor Base64");
        }
        call->parameters["buffer"] = std::string(decoded->begin(), decoded->end());
    }

    FaultRule* rule = firingRule(call->method, record.file, record.offset);
    FakeReply reply;
    std::string action = rule ? rule->action : "";
    bool performs = !rule || rule->perform;
    Outcome outcome;
    if (performs) outcome = perform(call->method, call->parameters, &record.length);
    if (call->parameters.count("buffer")) record.length = call->parameters["buffer"].size();

    if (action == "drop") {
        reply.drop = true;
        record.fault = "drop";
        record.status = 0;
    } else if (action == "status") {
        reply = soapFault(rule->status, rule->errorCode,
                          rule->result.empty() ? "injected fault" : rule->result);
        record.fault = fmt::format("status {} {}", rule->status, rule->errorCode);
    } else if (action == "html") {
        reply.headers = {{"Content-Type", "text/html; charset=utf-8"}};
        reply.body =
            "<html><head><title>Service Unavailable</title></head><body><h1>Service "
            "Unavailable</h1></body></html>";
        record.fault = "html";
    } else if (!outcome.ok) {
        reply = soapFault(outcome.status, outcome.errorCode, outcome.faultText);
        record.fault = outcome.faultText;
    } else if (action == "result") {
        reply = soapResponse(call->method, rule->result, false, call->mtom);
        record.fault = "result";
        outcome.result = rule->result;
    } else if (action == "empty") {
        reply = soapResponse(call->method, {}, true, call->mtom);
        record.fault = "empty";
        outcome.result = kEmptyResult;
    } else {
        reply = soapResponse(call->method, outcome.result, false, call->mtom);
        if (action == "delay") record.fault = "delay";
    }
    if (rule) reply.delay = rule->delay;
    if (!reply.drop) record.status = reply.status;
    record.result = outcome.result == kEmptyResult ? "" : outcome.result;
    calls_.push_back(std::move(record));
    return reply;
}

std::string FakeRecordingService::stateJSON(const std::string& what) {
    json files = json::array();
    for (const auto& [key, file] : files_) {
        std::string path = filePath(key.first, key.second);
        files.push_back({{"session", key.first},
                         {"file", key.second},
                         {"size", file.size},
                         {"md5", md5OfFile(path, file.size)},
                         {"closed", file.closed},
                         {"close_calls", file.closeCalls},
                         {"path", path}});
    }
    json calls = json::array();
    for (const CallRecord& call : calls_) {
        calls.push_back({{"time_ms", call.timeMs},
                         {"method", call.method},
                         {"session", call.session},
                         {"file", call.file},
                         {"offset", call.offset ? json(*call.offset) : json(nullptr)},
                         {"length", call.length},
                         {"status", call.status},
                         {"result", call.result},
                         {"fault", call.fault}});
    }
    json faults = json::array();
    for (const FaultRule& rule : faults_) {
        faults.push_back({{"method", rule.method},
                          {"action", rule.action},
                          {"remaining", rule.remaining},
                          {"after", rule.after},
                          {"fired", rule.fired}});
    }
    if (what == "files") return json{{"files", files}}.dump(2);
    if (what == "calls") return json{{"calls", calls}}.dump(2);
    if (what == "faults") return json{{"faults", faults}}.dump(2);
    return json{{"chunk_size", options_.chunkSize},
                {"close_uploading_count", options_.closeUploadingCount},
                {"plain_responses", options_.plainResponses},
                {"data_directory", options_.dataDirectory},
                {"files", files},
                {"calls", calls},
                {"faults", faults}}
        .dump(2);
}

FakeReply FakeRecordingService::handleControl(const std::string& method, const std::string& path,
                                              const std::string& body) {
    // A field of the wrong JSON type makes the library throw; it is the caller's mistake.
    try {
        return control(method, path, body);
    } catch (const nlohmann::json::exception& error) {
        return jsonReply(400, {{"error", std::string("bad control request: ") + error.what()}});
    }
}

FakeReply FakeRecordingService::control(const std::string& method, const std::string& path,
                                        const std::string& body) {
    auto ok = [&](const std::string& what) {
        return FakeReply{200,
                         {{"Content-Type", "application/json"}},
                         stateJSON(what) + "\n",
                         false,
                         std::chrono::milliseconds(0)};
    };
    json request;
    if (method == "POST" || method == "PUT") {
        request = json::parse(body.empty() ? std::string("{}") : body, nullptr, false);
        if (request.is_discarded()) return jsonReply(400, {{"error", "body is not JSON"}});
    }
    std::string what = path.size() > 9 ? path.substr(9) : "state";

    if (method == "GET" &&
        (what == "state" || what == "files" || what == "calls" || what == "faults"))
        return ok(what);
    if (method == "DELETE" && what == "calls") {
        calls_.clear();
        return ok("calls");
    }
    if (method == "DELETE" && what == "faults") {
        faults_.clear();
        return ok("faults");
    }
    if (method == "POST" && what == "reset") {
        calls_.clear();
        faults_.clear();
        for (const auto& [key, file] : files_) {
            std::error_code ignored;
            std::filesystem::remove_all(options_.dataDirectory + "/" + key.first, ignored);
        }
        files_.clear();
        return ok("state");
    }
    if (method == "POST" && what == "config") {
        if (!request.is_object()) return jsonReply(400, {{"error", "expected an object"}});
        if (request.contains("chunk_size") && request["chunk_size"].is_number_integer())
            options_.chunkSize = request["chunk_size"].get<int64_t>();
        if (request.contains("close_uploading_count") &&
            request["close_uploading_count"].is_number_integer())
            options_.closeUploadingCount = request["close_uploading_count"].get<int>();
        if (request.contains("plain_responses") && request["plain_responses"].is_boolean())
            options_.plainResponses = request["plain_responses"].get<bool>();
        if (request.contains("seed") && request["seed"].is_number_unsigned())
            random_.seed(request["seed"].get<uint32_t>());
        return ok("state");
    }
    if (method == "POST" && what == "faults") {
        json list = request.is_array() ? request : json::array({request});
        std::vector<FaultRule> added;
        for (const json& item : list) {
            if (!item.is_object()) return jsonReply(400, {{"error", "a fault is a JSON object"}});
            FaultRule rule;
            rule.method = item.value("method", std::string("*"));
            if (item.contains("file")) rule.file = item.value("file", std::string());
            if (item.contains("offset") && item["offset"].is_number_unsigned())
                rule.offset = item["offset"].get<uint64_t>();
            rule.remaining = item.value("count", 1);
            rule.after = item.value("after", 0);
            rule.probability = item.value("probability", 1.0);
            rule.action = item.value("action", std::string("status"));
            rule.status = item.value("status", 500);
            rule.errorCode = item.value("error_code", std::string());
            rule.result = item.value("result", std::string());
            rule.delay = std::chrono::milliseconds(item.value("delay_ms", 0));
            static const std::vector<std::string> kActions{"status", "drop",  "delay",
                                                           "result", "empty", "html"};
            if (std::find(kActions.begin(), kActions.end(), rule.action) == kActions.end())
                return jsonReply(400, {{"error", "unknown action " + rule.action}});
            bool performsByDefault =
                rule.action == "delay" || rule.action == "result" || rule.action == "empty";
            rule.perform = item.value("perform", performsByDefault);
            if (rule.remaining <= 0) rule.remaining = -1;
            added.push_back(rule);
        }
        faults_.insert(faults_.end(), added.begin(), added.end());
        return ok("faults");
    }
    return jsonReply(404, {{"error", "no such control endpoint: " + method + " " + path}});
}

}  // namespace vtr::fake
