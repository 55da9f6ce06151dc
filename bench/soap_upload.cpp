// UploadChunk throughput and CPU cost of the SOAP client against fake-recording-service on
// loopback, next to the `curl` command posting the very same MTOM bodies to the same service
// (one curl process, one connection, all requests in sequence). Prints, per side, the CPU
// seconds per GiB of payload and the payload throughput, then the two ratios.
//
// usage: soap_upload [chunks=48] [chunk MiB=4] [rounds=3]
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "BenchProcess.h"
#include "httpclient/HTTPClient.h"
#include "soap/VTRRemoteMethodCaller_sync.h"
#include "soap/VTRSOAPMethodCaller.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double cpuSeconds(int who) {
    rusage usage{};
    getrusage(who, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Figures {
    double cpuPerGiB = 0;
    double mibPerSecond = 0;
};

using vtr::bench::spawn;

}  // namespace

int main(int argc, char** argv) {
    int chunks = argc > 1 ? std::atoi(argv[1]) : 48;
    size_t chunkSize = static_cast<size_t>(argc > 2 ? std::atoi(argv[2]) : 4) << 20;
    int rounds = argc > 3 ? std::atoi(argv[3]) : 3;
    double gib = double(chunks) * chunkSize / double(1 << 30);

    std::string work = std::filesystem::temp_directory_path() / "soap_upload_bench.XXXXXX";
    if (!mkdtemp(work.data())) return 1;

    // The service, on a port it chooses.
    vtr::bench::FakeService service = vtr::bench::startFakeService(VTR_BIN_DIR, work + "/data");
    if (service.port == 0) return 1;
    std::string url = fmt::format("http://127.0.0.1:{}/Service.svc", service.port);

    std::vector<uint8_t> payload(chunkSize);
    std::mt19937 random(1);
    for (auto& byte : payload) byte = static_cast<uint8_t>(random());

    auto soap = std::make_unique<vtr::VTRSOAPMethodCaller>(vtr::VTRRecordingServiceNamespace,
                                                           vtr::VTRRecordingServiceExtension);
    vtr::VTRSOAPMethodCaller& builder = *soap;
    vtr::VTRRemoteMethodCaller_sync caller(std::move(soap));
    caller.setClient(vtr::HTTPClient::clientWithBaseURL(url));
    caller.setServicePath("");
    std::vector<std::string> names{"sessionID", "fileName", "buffer", "offset"};

    // The curl side: the same request bodies and headers, written out once.
    std::string config = work + "/curl.config";
    {
        std::ofstream cfg(config);
        for (int i = 0; i < chunks; ++i) {
            uint64_t offset = uint64_t(i) * chunkSize;
            auto values = std::make_shared<const vtr::VTRArray>(
                vtr::VTRArray{"curl", "c.bin", vtr::VTRBytes(payload), offset});
            std::string document = builder.createSOAPBody("UploadChunk", names, *values, 2);
            vtr::HTTPRequest request = builder.requestWithEnvelope(
                document, values, &(*values)[2].bytesValue(), "UploadChunk");
            std::string bodyFile = fmt::format("{}/body{}", work, i);
            std::ofstream(bodyFile, std::ios::binary) << request.body().joined();
            if (i > 0) cfg << "next\n";
            cfg << "url = \"" << url << "/\"\n";
            cfg << "data-binary = \"@" << bodyFile << "\"\n";
            cfg << "output = \"/dev/null\"\n";
            cfg << "silent\nfail\n";
            for (const char* header : {"Content-Type", "SOAPAction"}) {
                std::string value = *request.valueForHTTPHeaderField(header);
                std::string escaped;
                for (char c : value) {
                    if (c == '"' || c == '\\') escaped += '\\';
                    escaped += c;
                }
                cfg << "header = \"" << header << ": " << escaped << "\"\n";
            }
            cfg << "header = \"Expect:\"\n";
        }
    }
    auto reset = [&] {
        pid_t pid = spawn({"curl", "-s", "-o", "/dev/null", "-X", "POST",
                           url.substr(0, url.rfind('/')) + "/control/reset"},
                          -1);
        int status;
        waitpid(pid, &status, 0);
    };

    auto runClient = [&] {
        double cpu = 0;
        auto start = Clock::now();
        for (int i = 0; i < chunks; ++i) {
            vtr::VTRBytes bytes(payload);  // the engine reads each chunk into a fresh buffer
            double before = cpuSeconds(RUSAGE_SELF);
            bool ok = false;
            caller.callRemoteMethod(
                "UploadChunk", names,
                {"client", "c.bin", std::move(bytes), uint64_t(i) * chunkSize},
                [&](const vtr::VTRDictionary&, const vtr::HTTPURLResponse*) { ok = true; },
                [&](const vtr::VTRError& error, const vtr::HTTPURLResponse*) {
                    fmt::print(stderr, "client call failed: {}\n", error.description());
                });
            cpu += cpuSeconds(RUSAGE_SELF) - before;
            if (!ok) std::exit(1);
        }
        double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        return Figures{cpu / gib, chunks * (chunkSize / 1048576.0) / seconds};
    };
    auto runCurl = [&] {
        double before = cpuSeconds(RUSAGE_CHILDREN);
        auto start = Clock::now();
        pid_t pid = spawn({"curl", "-K", config}, -1);
        int status = 0;
        waitpid(pid, &status, 0);
        double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            fmt::print(stderr, "curl failed with status {}\n", status);
            std::exit(1);
        }
        return Figures{(cpuSeconds(RUSAGE_CHILDREN) - before) / gib,
                       chunks * (chunkSize / 1048576.0) / seconds};
    };

    std::vector<Figures> client, curl;
    for (int round = 0; round < rounds; ++round) {
        reset();
        curl.push_back(runCurl());
        reset();
        client.push_back(runClient());
        fmt::print(
            "round {}: client {:.3f} CPU s/GiB {:.0f} MiB/s | curl {:.3f} CPU s/GiB {:.0f} MiB/s\n",
            round + 1, client.back().cpuPerGiB, client.back().mibPerSecond, curl.back().cpuPerGiB,
            curl.back().mibPerSecond);
    }
    auto median = [](std::vector<Figures> all, auto field) {
        std::sort(all.begin(), all.end(), [&](auto& a, auto& b) { return a.*field < b.*field; });
        return all[all.size() / 2].*field;
    };
    double clientCPU = median(client, &Figures::cpuPerGiB);
    double curlCPU = median(curl, &Figures::cpuPerGiB);
    double clientRate = median(client, &Figures::mibPerSecond);
    double curlRate = median(curl, &Figures::mibPerSecond);
    fmt::print("UploadChunk, {} x {} MiB per round, median of {} rounds\n", chunks, chunkSize >> 20,
               rounds);
    fmt::print("  SOAP client: {:.3f} CPU s/GiB, {:.0f} MiB/s\n", clientCPU, clientRate);
    fmt::print("  curl (baseline): {:.3f} CPU s/GiB, {:.0f} MiB/s\n", curlCPU, curlRate);
    fmt::print("  CPU ratio {:.2f} (target <= 1.5), throughput ratio {:.2f} (target >= 0.8)\n",
               clientCPU / curlCPU, clientRate / curlRate);

    kill(service.pid, SIGTERM);
    int status;
    waitpid(service.pid, &status, 0);
    std::filesystem::remove_all(work);
    return 0;
}
