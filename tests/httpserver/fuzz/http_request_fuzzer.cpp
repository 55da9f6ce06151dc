// libFuzzer harness over the server's request reader, in process: the input is fed to one
// HTTPRequestReader in pieces of pseudo-random sizes, as a connection would (bytes the reader
// leaves stay in front of the next ones), and every event is checked against what a connection
// relies on. A broken invariant aborts, as does any sanitizer report.
// The last bytes of the input choose the body limit, the largest body piece and the cuts; the
// rest is the wire, so the seeds are plain requests.
//
// Build and run (clang 14, AddressSanitizer + UndefinedBehaviorSanitizer):
//   CC=clang CXX=clang++ cmake -S . -B build/http-fuzz -DCMAKE_BUILD_TYPE=Debug \
//       -DVTR_SANITIZE=address -DVTR_FUZZ=ON -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link
//   cmake --build build/http-fuzz --target http_request_fuzzer -j2
//   mkdir -p build/http-fuzz/corpus
//   build/http-fuzz/bin/http_request_fuzzer build/http-fuzz/corpus \
//       tests/httpserver/fuzz/seeds -max_total_time=600 -max_len=20000
// ctest -L fuzz runs it for 60 seconds from the seeds.
#include <cstdio>
#include <cstdlib>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>

#include "httpserver/HTTPRequestReader.h"

namespace {

using vtr::HTTPRequestReader;
using Event = HTTPRequestReader::Event;

void check(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "broken invariant: %s\n", what);
    std::abort();
}

// The state of one run: the reader, the bytes it was given and left, and what it delivered.
struct Run {
    HTTPRequestReader reader;
    std::string wire;
    size_t fed = 0;
    std::string buffer;
    uint64_t limit;
    size_t maxPiece;
    uint32_t random;
    uint64_t bodyBytes = 0;  // of the request being read
    bool failed = false;

    Run(std::string bytes, uint64_t bodyLimit, size_t piece, uint32_t seed)
        : reader(bodyLimit),
          wire(std::move(bytes)),
          limit(bodyLimit),
          maxPiece(piece),
          random(seed | 1) {}

    uint32_t next() {  // xorshift32
        random ^= random << 13;
        random ^= random >> 17;
        random ^= random << 5;
        return random;
    }

    bool feed() {
        if (fed == wire.size()) return false;
        size_t cut = 1 + next() % (next() % 4 == 0 ? 4096 : 64);
        buffer.append(wire, fed, cut);
        fed = std::min(wire.size(), fed + cut);
        return true;
    }

    void onHead() {
        check(reader.request().isHeaderComplete(), "a head event for an incomplete head");
        const std::string& method = reader.request().method();
        bool expectsBody = (method == "POST" || method == "PUT") == (next() % 8 != 0);
        bodyBytes = 0;
        if (!reader.frameBody(expectsBody)) return checkError();
        if (expectsBody && !reader.startBody()) return checkError();
        if (!expectsBody) check(reader.complete(), "a request without a body is not complete");
        if (reader.complete()) reader.nextRequest();
    }

    void onBody(const HTTPRequestReader::Step& step, uint64_t wanted) {
        check(!step.body.empty() && step.body.size() <= maxPiece, "a body piece out of size");
        check(step.body.data() + step.body.size() == buffer.data() + step.consumed,
              "a body piece that is not the last bytes taken");
        check(wanted == 0 || step.body.size() <= wanted, "a piece beyond the bytes wanted");
        bodyBytes += step.body.size();
        uint64_t length = reader.bodyLength();
        if (length != HTTPRequestReader::kChunkedBodyLength)
            check(bodyBytes <= length, "more body bytes than announced");
        check(limit == 0 || bodyBytes <= limit, "more body bytes than the limit");
    }

    void checkError() {
        int status = reader.error().status;
        check(status == 0 || status == 400 || status == 413 || status == 501,
              "an error with an unexpected status");
        failed = true;
    }

    void run() {
        while (true) {
            uint64_t wanted = reader.bodyBytesWanted();
            HTTPRequestReader::Step step = reader.read(buffer, maxPiece);
            check(step.consumed <= buffer.size(), "more taken than given");
            if (failed) {
                check(step.event == Event::Error && step.consumed == 0, "an event after an error");
                if (!feed()) return;
                continue;
            }
            switch (step.event) {
                case Event::NeedMore:
                    buffer.erase(0, step.consumed);
                    // The connection's input buffer holds at most one line and what follows it.
                    check(buffer.size() < HTTPRequestReader::kMaxHeaderLineLength,
                          "a line kept beyond its limit");
                    if (!feed()) return;
                    continue;
                case Event::Head:
                    onHead();
                    break;
                case Event::BodyPiece:
                    onBody(step, wanted);
                    break;
                case Event::BodyEnd: {
                    uint64_t length = reader.bodyLength();
                    check(length == HTTPRequestReader::kChunkedBodyLength || bodyBytes == length,
                          "a counted body that ended short");
                    reader.nextRequest();
                    break;
                }
                case Event::Error:
                    checkError();
                    break;
            }
            buffer.erase(0, step.consumed);
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider provider(data, size);
    // Integers come from the end of the input, the wire from its front.
    uint64_t limit = provider.ConsumeIntegral<uint8_t>();
    if (limit >= 128) limit = 0;  // half the runs without a body limit
    size_t maxPiece = provider.ConsumeIntegralInRange<size_t>(1, 300);
    uint32_t seed = provider.ConsumeIntegral<uint32_t>();
    Run run(provider.ConsumeRemainingBytesAsString(), limit, maxPiece, seed);
    run.run();
    return 0;
}
