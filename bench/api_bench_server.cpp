// The control API's read routes over a job database of 10,000 jobs of 3 files each, for
// bench/api-wrk:
//   api_bench_server serve [JOBS]  serves the API on one port and, on a second port, the same
//                                  server answering every GET with a constant JSON body as long
//                                  as the answer to GET /jobs/job-<JOBS/2>. Prints
//                                  "API <port>", "CONSTANT <port>" and "PATH <path>", then runs
//                                  until standard input closes.
//   api_bench_server list [JOBS]   times GET /jobs over loopback (best of 5) next to writing
//                                  the same documents with nlohmann::json alone, and prints both.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <string>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "api/VTRJSONValue.h"
#include "api/VTRUploadDaemonConnection.h"
#include "foundation/VTRHeapSettings.h"
#include "foundation/VTRRunLoop.h"
#include "httpserver/HTTPServer.h"
#include "httpserver/VTRJSONResponse.h"
#include "jobs/VTRManagedUploadJob.h"
#include "jobs/VTRSQLiteUploadJobStore.h"
#include "jobs/VTRStoreCoordinator.h"
#include "logging/VTRLog.h"
#include "service/VTRUploadDaemonConnectionEnvironment.h"

namespace {

using namespace vtr;
using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

void check(bool ok, const std::string& what) {
    if (!ok) {
        fmt::print(stderr, "api_bench_server: {} failed\n", what);
        std::exit(1);
    }
}

// The job input a client would send for job `n`.
json jobInput(int n) {
    std::string id = fmt::format("job-{}", n);
    json files = json::array();
    for (int f = 0; f < 3; ++f) {
        files.push_back({{"local_path", fmt::format("/recordings/{}/camera-{}.mov", id, f)},
                         {"remote_path", fmt::format("camera-{}.mov", f)}});
    }
    return {{"id", id},
            {"session_id", "session-" + id},
            {"server_url", "https://recordings.example/upload.svc"},
            {"state", "running"},
            {"credentials", "secret"},
            {"file_list", files}};
}

// A database of `count` jobs, filled through one store and one save.
std::shared_ptr<VTRStoreCoordinator> makeDatabase(const std::string& path, int count) {
    VTRError error;
    auto coordinator = VTRStoreCoordinator::open(path, &error);
    check(coordinator != nullptr, "open: " + error.description());
    VTRSQLiteUploadJobStore store(coordinator);
    for (int n = 0; n < count; ++n)
        VTRManagedUploadJob::newInstance(store.managedObjectContext(), jobInput(n));
    check(store.saveAndResolve(&error), "save: " + error.description());
    return coordinator;
}

// Every GET answered with the same bytes, the way the API answers: a VTRJSONResponse.
class ConstantConnection : public HTTPConnection {
  public:
    ConstantConnection(const HTTPConfig& config, const VTRValue& document)
        : HTTPConnection(config), document_(document) {}
    std::unique_ptr<HTTPResponse> httpResponseForMethod(const std::string&,
                                                        const std::string&) override {
        return std::make_unique<VTRJSONResponse>(document_);
    }

  private:
    const VTRValue& document_;
};

uint16_t startAPI(HTTPServer& server, std::shared_ptr<VTRUploadDaemonConnectionEnvironment> env) {
    server.setInterface("127.0.0.1");
    server.setConnectionClass(
        VTRUploadDaemonConnection::factory(std::move(env), VTRRunLoop::main()));
    VTRError error;
    check(server.start(&error), "start: " + error.description());
    return server.listeningPort();
}

// One GET on a fresh connection; the whole reply body.
std::string get(uint16_t port, const std::string& path) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    check(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0, "connect");
    std::string request =
        "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    check(::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
              static_cast<ssize_t>(request.size()),
          "send");
    std::string reply;
    char buffer[1 << 16];
    ssize_t n;
    while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
        reply.append(buffer, static_cast<size_t>(n));
    ::close(fd);
    size_t headerEnd = reply.find("\r\n\r\n");
    check(reply.rfind("HTTP/1.1 200", 0) == 0 && headerEnd != std::string::npos, "GET " + path);
    return reply.substr(headerEnd + 4);
}

double bestOf(int rounds, const std::function<void()>& body) {
    double best = 1e300;
    for (int round = 0; round < rounds; ++round) {
        auto start = Clock::now();
        body();
        best =
            std::min(best, std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    return best;
}

int serve(int count, const std::string& directory) {
    auto coordinator = makeDatabase(directory + "/UploadDaemon.sqlite", count);
    auto environment = std::make_shared<VTRUploadDaemonConnectionEnvironment>(coordinator, nullptr);
    HTTPServer api;
    uint16_t apiPort = startAPI(api, environment);
    std::string path = fmt::format("/jobs/job-{}", count / 2);
    static const VTRValue document = valueFromJSON(json::parse(get(apiPort, path)));

    HTTPServer constant;
    constant.setInterface("127.0.0.1");
    constant.setConnectionClass([](const HTTPConfig& config) {
        return std::make_shared<ConstantConnection>(config, document);
    });
    VTRError error;
    check(constant.start(&error), "start: " + error.description());
    check(get(constant.listeningPort(), path) == get(apiPort, path), "same body");
    std::cout << "API " << apiPort << "\nCONSTANT " << constant.listeningPort() << "\nPATH " << path
              << std::endl;
    std::string ignored;
    while (std::getline(std::cin, ignored)) {
    }
    return 0;
}

int list(int count, const std::string& directory) {
    auto coordinator = makeDatabase(directory + "/UploadDaemon.sqlite", count);
    auto environment = std::make_shared<VTRUploadDaemonConnectionEnvironment>(coordinator, nullptr);
    HTTPServer api;
    uint16_t port = startAPI(api, environment);

    std::string body;
    double ours = bestOf(5, [&] { body = get(port, "/jobs"); });
    json documents = json::parse(body);
    check(documents.size() == static_cast<size_t>(count), "job count");

    // The same documents, made from plain values and written by nlohmann::json alone.
    std::string written;
    double buildAndWrite = bestOf(5, [&] {
        json all = json::array();
        for (const json& job : documents) {
            json files = json::array();
            for (const json& file : job["file_list"]) {
                files.push_back({{"local_path", file["local_path"].get<std::string>()},
                                 {"remote_path", file["remote_path"].get<std::string>()},
                                 {"bytes_uploaded", file["bytes_uploaded"].get<uint64_t>()},
                                 {"total_bytes", file["total_bytes"].get<uint64_t>()},
                                 {"closed", file["closed"].get<bool>()}});
            }
            all.push_back({{"id", job["id"].get<std::string>()},
                           {"server_url", job["server_url"].get<std::string>()},
                           {"session_id", job["session_id"].get<std::string>()},
                           {"state", job["state"].get<std::string>()},
                           {"error", nullptr},
                           {"error_type", job["error_type"].get<std::string>()},
                           {"restarting", job["restarting"].get<bool>()},
                           {"file_list", std::move(files)}});
        }
        written = all.dump();
    });
    check(written.size() == body.size(), "same document size");
    double writeOnly = bestOf(5, [&] { written = documents.dump(); });

    fmt::print("GET /jobs, {} jobs x 3 files ({} bytes), best of 5:\n", count, body.size());
    fmt::print("  control API over loopback:           {:8.1f} ms\n", ours);
    fmt::print("  nlohmann::json build + dump:         {:8.1f} ms  ratio {:.2f} (limit 3)\n",
               buildAndWrite, ours / buildAndWrite);
    fmt::print("  nlohmann::json dump of the document: {:8.1f} ms  ratio {:.2f}\n", writeOnly,
               ours / writeOnly);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    vtr::configureHeapForDaemon();
    std::string mode = argc > 1 ? argv[1] : "";
    int count = argc > 2 ? std::atoi(argv[2]) : 10000;
    if ((mode != "serve" && mode != "list") || count < 2) {
        fmt::print(stderr, "usage: api_bench_server serve|list [JOBS]\n");
        return 2;
    }
    // The daemon logs these requests at its default level; here nothing is attached, so the
    // figures leave out the log destinations' own cost.
    char pattern[] = "/tmp/api-bench-XXXXXX";
    check(mkdtemp(pattern) != nullptr, "mkdtemp");
    std::string directory = pattern;
    int status = mode == "serve" ? serve(count, directory) : list(count, directory);
    std::filesystem::remove_all(directory);
    return status;
}
