// Serves a constant 200-byte JSON document (as the control API would: a VTRJSONResponse) for
// every GET on 127.0.0.1, for the wrk and idle-connection benchmarks (bench/http-wrk,
// bench/http-idle). Prints "PORT <n>" when ready and runs until its standard input closes.
//   http_bench_server [--print-body]
#include <cstdio>
#include <iostream>
#include <string>

#include "httpserver/HTTPConnection.h"
#include "httpserver/HTTPServer.h"
#include "httpserver/VTRJSONResponse.h"

namespace {

// 200 bytes once written as compact JSON.
vtr::VTRValue benchDocument() {
    vtr::VTRDictionary job{{"id", "5f0c6d1e-bench"},
                           {"server_url", "https://recordings.example.com/upload"},
                           {"session_id", "b7a1c2d3"},
                           {"state", "running"},
                           {"error_state", "none"},
                           {"restarting", false},
                           {"bytes_uploaded", int64_t{123456789}}};
    std::string json = *vtr::VTRJSONResponse::JSONData(vtr::VTRValue(job));
    job["pad"] = std::string(200 - json.size() - std::string(",\"pad\":\"\"").size(), 'x');
    return vtr::VTRValue(job);
}

class BenchConnection : public vtr::HTTPConnection {
  public:
    BenchConnection(const vtr::HTTPConfig& config, const vtr::VTRValue& document)
        : HTTPConnection(config), document_(document) {}
    std::unique_ptr<vtr::HTTPResponse> httpResponseForMethod(const std::string&,
                                                             const std::string&) override {
        return std::make_unique<vtr::VTRJSONResponse>(document_);
    }

  private:
    const vtr::VTRValue& document_;
};

}  // namespace

int main(int argc, char** argv) {
    static const vtr::VTRValue document = benchDocument();
    if (argc > 1 && std::string(argv[1]) == "--print-body") {
        std::cout << *vtr::VTRJSONResponse::JSONData(document);
        return 0;
    }
    vtr::HTTPServer server;
    server.setInterface("127.0.0.1");
    server.setConnectionClass([](const vtr::HTTPConfig& config) {
        return std::make_shared<BenchConnection>(config, document);
    });
    vtr::VTRError error;
    if (!server.start(&error)) {
        std::cerr << error.description() << "\n";
        return 1;
    }
    std::cout << "PORT " << server.listeningPort() << std::endl;
    std::string ignored;
    while (std::getline(std::cin, ignored)) {
    }
    server.stop();
    return 0;
}
