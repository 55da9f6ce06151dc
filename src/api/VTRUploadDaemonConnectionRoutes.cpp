// The control API's routes: the one table that says which requests the connection serves,
// which handler answers each, and what the index document lists.
#include "api/VTRUploadDaemonConnection.h"

#include <algorithm>

#include "httpserver/VTRJSONResponse.h"
#include "ui/VTRStatusPage.h"

namespace vtr {

namespace {

// The last path component of a route that stands for any job's id.
constexpr std::string_view kJobIDComponent = ":id";

}  // namespace

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

// ---- routes

const std::vector<VTRUploadDaemonConnection::Route>& VTRUploadDaemonConnection::routes() {
    using Self = VTRUploadDaemonConnection;
    static const std::vector<Route> table{
        {"GET", "/", "This helpful documentation resource",
         [](Self& self, const std::string&) { return self.handleIndexRequest(); }},
        {"POST", "/restart", "Restart the daemon",
         [](Self& self, const std::string&) { return self.handleKillDaemon(); }},
        {"GET", "/jobs", "Get a list of current jobs",
         [](Self& self, const std::string&) { return self.handleGetJobs(); }},
        {"PUT", "/jobs/:id", "Add a new job for processing",
         [](Self& self, const std::string& id) { return self.handlePutJobWithID(id); }},
        {"GET", "/jobs/:id", "Get information about a specific job",
         [](Self& self, const std::string& id) { return self.handleGetJobWithID(id); }},
        {"DELETE", "/jobs/:id", "Remove a specific job",
         [](Self& self, const std::string& id) { return self.handleDeleteJobWithID(id); }},
        {"GET", "/activity", "What each upload in progress is doing now",
         [](Self& self, const std::string&) { return self.handleGetActivity(); }},
        {"GET", "/events", "Server-Sent Events: every job, then each change as it happens",
         [](Self& self, const std::string&) { return self.handleGetEvents(); }},
        {"GET", "/ui", "The status page, for a browser",
         [](Self&, const std::string&) { return VTRStatusPage::responseForFile("index.html"); }},
        {"GET", "/ui/app.js", "The status page's script",
         [](Self&, const std::string&) { return VTRStatusPage::responseForFile("app.js"); }},
        {"GET", "/ui/app.css", "The status page's style",
         [](Self&, const std::string&) { return VTRStatusPage::responseForFile("app.css"); }},
        {"GET", "/metrics", "Counters and gauges in the Prometheus text format",
         [](Self& self, const std::string&) { return self.handleGetMetrics(); }},
        {"GET", "/settings", "The upload bandwidth limit and its schedule",
         [](Self& self, const std::string&) { return self.handleGetSettings(); }},
        {"PUT", "/settings", "Change the upload bandwidth limit or its schedule",
         [](Self& self, const std::string&) { return self.handlePutSettings(); }},
    };
    return table;
}

const VTRUploadDaemonConnection::Route* VTRUploadDaemonConnection::routeFor(
    const std::string& method, const std::string& path, std::string* jobID) {
    for (const Route& route : routes()) {
        if (route.method != method) continue;
        if (!route.path.ends_with(kJobIDComponent)) {
            if (path == route.path) return &route;
            continue;
        }
        // A job's path is matched by its components, whatever the job's id.
        std::vector<std::string> pattern = pathComponentsFromPath(route.path);
        std::vector<std::string> components = pathComponentsFromPath(path);
        if (components.size() != pattern.size() ||
            !std::equal(pattern.begin(), pattern.end() - 1, components.begin()))
            continue;
        if (jobID) *jobID = components.back();
        return &route;
    }
    return nullptr;
}

// ---- the hook and the index

bool VTRUploadDaemonConnection::supportsMethod(const std::string& method, const std::string& path) {
    return routeFor(method, standardizedPathForPath(path), nullptr) != nullptr;
}

std::unique_ptr<HTTPResponse> VTRUploadDaemonConnection::handleIndexRequest() {
    static const VTRValue document = [] {
        VTRArray resources;
        for (const Route& route : routes()) {
            resources.emplace_back(VTRDictionary{{"path", std::string(route.path)},
                                                 {"method", std::string(route.method)},
                                                 {"description", std::string(route.description)}});
        }
        return VTRValue(VTRDictionary{{"resources", VTRValue(std::move(resources))}});
    }();
    return std::make_unique<VTRJSONResponse>(document, 200);
}

}  // namespace vtr
