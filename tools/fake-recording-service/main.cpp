// fake-recording-service: a stand-in for the recording service's SOAP upload web service, for
// tests, benchmarks and demonstrations. See README.md in this directory for the control
// interface. Prints its port on the first line of standard output once it accepts requests.
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "FakeRecordingService.h"
#include "FakeServiceConnection.h"
#include "httpserver/HTTPServer.h"

namespace {

constexpr const char* kUsage =
    "usage: fake-recording-service [options]\n"
    "\n"
    "A stand-in for the recording service's SOAP upload web service (ChunkSize, UploadChunk,\n"
    "VerifyFile, TryCloseFile), listening on 127.0.0.1 only. Once it accepts requests it prints\n"
    "its port alone on the first line of standard output. SOAP requests go to any path except\n"
    "/control/..., which is the JSON control interface (see README.md). SIGINT or SIGTERM stop "
    "it.\n"
    "\n"
    "options:\n"
    "  --port N              port to listen on (default 0: the system chooses)\n"
    "  --data-dir DIR        where uploaded files are stored, as DIR/<session>/<file>\n"
    "                        (default: a new directory under $TMPDIR or /tmp)\n"
    "  --chunk-size N        what ChunkSize answers (default 1048576)\n"
    "  --close-uploading N   \"Uploading\" answers TryCloseFile gives per file before\n"
    "                        \"Uploaded\" (default 0)\n"
    "  --seed N              seed of the fault injector's random choices (default 1)\n"
    "  --plain-responses     answer MTOM requests with plain XML (default: MTOM answers MTOM)\n"
    "  -h, --help            this text\n";

bool parseNumber(const char* text, long long min, long long max, long long* out) {
    char* end = nullptr;
    errno = 0;
    long long value = std::strtoll(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < min || value > max) return false;
    *out = value;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    vtr::fake::FakeRecordingService::Options options;
    long long port = 0;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto needValue = [&](long long min, long long max, long long* out) {
            if (i + 1 >= argc || !parseNumber(argv[i + 1], min, max, out)) {
                std::cerr << "fake-recording-service: " << arg << " needs a number from " << min
                          << " to " << max << "\n";
                std::exit(2);
            }
            ++i;
        };
        long long number = 0;
        if (arg == "-h" || arg == "--help") {
            std::cout << kUsage;
            return 0;
        } else if (arg == "--port") {
            needValue(0, 65535, &port);
        } else if (arg == "--data-dir" && i + 1 < argc) {
            options.dataDirectory = argv[++i];
        } else if (arg == "--chunk-size") {
            needValue(0, INT32_MAX, &number);
            options.chunkSize = number;
        } else if (arg == "--close-uploading") {
            needValue(0, 1000000, &number);
            options.closeUploadingCount = static_cast<int>(number);
        } else if (arg == "--seed") {
            needValue(0, UINT32_MAX, &number);
            options.seed = static_cast<uint32_t>(number);
        } else if (arg == "--plain-responses") {
            options.plainResponses = true;
        } else {
            std::cerr << "fake-recording-service: unknown argument " << arg << "\n" << kUsage;
            return 2;
        }
    }
    if (options.dataDirectory.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern =
            std::string(tmp && *tmp ? tmp : "/tmp") + "/fake-recording-service.XXXXXX";
        if (!::mkdtemp(pattern.data())) {
            std::perror("fake-recording-service: mkdtemp");
            return 1;
        }
        options.dataDirectory = pattern;
    }

    // Signals are taken by sigwait below, not by handlers on random threads.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    vtr::fake::FakeRecordingService service(options);
    vtr::HTTPServer server;
    server.setInterface("127.0.0.1");
    server.setPort(static_cast<uint16_t>(port));
    server.setConnectionClass([&service](const vtr::HTTPConfig& config) {
        return std::make_shared<vtr::fake::FakeServiceConnection>(config, service);
    });
    vtr::VTRError error;
    if (!server.start(&error)) {
        std::cerr << "fake-recording-service: cannot listen: " << error.description() << "\n";
        return 1;
    }
    std::printf("%u\n", server.listeningPort());
    std::fflush(stdout);
    std::cerr << "fake-recording-service: listening on 127.0.0.1:" << server.listeningPort()
              << ", data in " << options.dataDirectory << "\n";

    int received = 0;
    sigwait(&signals, &received);
    server.stop();
    return 0;
}
