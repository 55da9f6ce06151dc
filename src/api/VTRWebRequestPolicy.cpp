#include "api/VTRWebRequestPolicy.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <fmt/format.h>

#include "api/VTRJobLogForm.h"
#include "httpserver/HTTPMessage.h"

namespace vtr {

std::optional<std::string> VTRWebRequestPolicy::refusalReason(
    const std::optional<std::string>& host, const std::optional<std::string>& origin) {
    if (host && !isLoopbackHost(*host))
        return fmt::format("the Host header \"{}\" names no loopback address",
                           printableASCII(*host));
    if (origin && !isLocalOrigin(*origin))
        return fmt::format("the request comes from the web page \"{}\"", printableASCII(*origin));
    return std::nullopt;
}

bool VTRWebRequestPolicy::isLoopbackHost(std::string_view host) {
    std::string_view name = host;
    std::string_view port;
    if (!host.empty() && host.front() == '[') {
        size_t close = host.find(']');
        if (close == std::string_view::npos) return false;
        name = host.substr(1, close - 1);
        std::string_view rest = host.substr(close + 1);
        if (!rest.empty() && rest.front() != ':') return false;
        if (!rest.empty()) port = rest.substr(1);
        in6_addr address{};
        if (!inet_pton(AF_INET6, std::string(name).c_str(), &address) ||
            !IN6_IS_ADDR_LOOPBACK(&address))
            return false;
    } else {
        size_t colon = host.find(':');
        if (colon != std::string_view::npos) {
            name = host.substr(0, colon);
            port = host.substr(colon + 1);
        }
        in_addr address{};
        bool loopbackAddress = inet_pton(AF_INET, std::string(name).c_str(), &address) == 1 &&
                               (ntohl(address.s_addr) >> 24) == 127;
        if (!loopbackAddress && !HTTPEqualsIgnoringCase(name, "localhost")) return false;
    }
    if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string_view::npos)
        return false;
    return port.empty() || std::stoul(std::string(port)) <= 65535;
}

// "null" is refused: any web page can send it from a sandboxed frame, and the recording
// application sends no Origin at all.
bool VTRWebRequestPolicy::isLocalOrigin(std::string_view origin) {
    for (std::string_view scheme : {"http://", "https://"}) {
        if (origin.size() > scheme.size() &&
            HTTPEqualsIgnoringCase(origin.substr(0, scheme.size()), scheme))
            return isLoopbackHost(origin.substr(scheme.size()));
    }
    return false;
}

}  // namespace vtr
