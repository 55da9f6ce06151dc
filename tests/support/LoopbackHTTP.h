// A small blocking HTTP/1.1 client over a plain socket to 127.0.0.1, one request per
// connection ("Connection: close"), and raw byte exchanges for feeding a server malformed
// input. Stateless; any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace vtr::test {

struct HTTPReply {
    // False when no complete HTTP response arrived (refused, reset, timed out).
    bool answered = false;
    int status = 0;
    std::string body;
};

// `body` is sent with a Content-Length for "PUT" and "POST" (also when empty), with
// `contentType` and, when given, the extra header lines `headers` ("Name: value\r\n" each).
HTTPReply httpRequest(uint16_t port, const std::string& method, const std::string& path,
                      const std::string& body = {},
                      std::chrono::milliseconds timeout = std::chrono::seconds(10),
                      const std::string& contentType = "application/json",
                      const std::string& headers = {});

// Sends `bytes` as they are, then reads whatever comes back until the server closes, the
// reply is complete or `timeout` passes. Returns what was read (possibly nothing).
std::string rawExchange(uint16_t port, const std::string& bytes, std::chrono::milliseconds timeout);

// The status code of a raw response, or 0 when it does not start like one.
int statusOf(const std::string& response);

// A connected socket to 127.0.0.1:`port`, or -1. The caller closes it.
int connectLoopback(uint16_t port, std::chrono::milliseconds timeout);

// A loopback port that was free a moment ago, so that nothing is likely to listen there.
uint16_t unusedLoopbackPort();

}  // namespace vtr::test
