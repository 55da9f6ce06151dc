// Prints the MD5 digest (hex) of a file, taken through a file stream exactly as the upload
// engine takes a whole file's checksum, and the seconds it took. Driven by bench/md5-stream.
#include <chrono>
#include <cstdio>

#include <fmt/format.h>

#include "foundation/VTRStreamAdditions.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        fmt::print(stderr, "usage: md5_stream FILE\n");
        return 2;
    }
    auto start = std::chrono::steady_clock::now();
    vtr::VTRFileInputStream stream(argv[1]);
    vtr::VTRError error;
    if (!stream.open(&error)) {
        fmt::print(stderr, "{}\n", error.description());
        return 1;
    }
    std::optional<vtr::VTRBytes> digest = vtr::md5Digest(stream);
    stream.close();
    std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    if (!digest) {
        fmt::print(stderr, "reading {} failed\n", argv[1]);
        return 1;
    }
    std::string hex;
    for (uint8_t byte : *digest) hex += fmt::format("{:02x}", byte);
    fmt::print("{} {:.6f}\n", hex, elapsed.count());
    return 0;
}
