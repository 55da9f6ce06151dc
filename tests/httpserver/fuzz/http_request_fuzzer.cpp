// libFuzzer harness over the server's request reader, in process: the input is fed to one
// HTTPRequestReader in pieces of pseudo-random sizes by the driver the reader's unit test uses,
// which checks every event against what a connection relies on; here a method expects a body
// or not at random too. A broken invariant aborts, as does any sanitizer report.
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

#include "../RequestReaderDriver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider provider(data, size);
    // Integers come from the end of the input, the wire from its front.
    uint64_t limit = provider.ConsumeIntegral<uint8_t>();
    if (limit >= 128) limit = 0;  // half the runs without a body limit
    size_t maxPiece = provider.ConsumeIntegralInRange<size_t>(1, 300);
    uint32_t random = provider.ConsumeIntegral<uint32_t>() | 1;
    auto next = [&random] {  // xorshift32
        random ^= random << 13;
        random ^= random >> 17;
        random ^= random << 5;
        return random;
    };
    vtr::test::RequestReaderDriver driver(
        provider.ConsumeRemainingBytesAsString(), limit, maxPiece,
        {[&] { return size_t{1} + next() % (next() % 4 == 0 ? 4096 : 64); },
         [&](const std::string& method) {
             return (method == "POST" || method == "PUT") == (next() % 8 != 0);
         },
         [](const char* what) {
             std::fprintf(stderr, "broken invariant: %s\n", what);
             std::abort();
         }});
    driver.run();
    return 0;
}
