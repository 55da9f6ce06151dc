// VTRWebRequestPolicy: tells the requests of local clients from those a web page makes. A page
// can send requests to a loopback port, and one whose name was made to point at this machine
// (DNS rebinding) can even read the answers; but it still sends its own name as the Host, and
// a page's Origin names the site. Local clients send a loopback Host, or none, and no Origin.
// Stateless: any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vtr {

class VTRWebRequestPolicy {
  public:
    // Why a request with these Host and Origin fields is refused, for the log line (foreign
    // text escaped); nothing when it is served.
    static std::optional<std::string> refusalReason(const std::optional<std::string>& host,
                                                    const std::optional<std::string>& origin);

    // "localhost", an IPv4 loopback address (127.0.0.0/8) or "[::1]", each with or without a
    // port: the names under which a local client reaches the daemon.
    static bool isLoopbackHost(std::string_view host);
    // http(s) on a loopback host.
    static bool isLocalOrigin(std::string_view origin);
};

}  // namespace vtr
