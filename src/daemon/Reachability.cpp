#include "daemon/Reachability.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <vector>

#include <asio/posix/stream_descriptor.hpp>

#include "foundation/VTRRunLoop.h"
#include "logging/VTRFileDescriptor.h"

namespace vtr {

NetworkStatus reachabilityStatusForFlags(std::optional<uint32_t> flags) {
    if (!flags || !(*flags & kReachabilityFlagReachable)) return NotReachable;
    if (!(*flags & kReachabilityFlagConnectionRequired)) return ReachableViaNetwork;
    bool automatic =
        *flags & (kReachabilityFlagConnectionOnTraffic | kReachabilityFlagConnectionOnDemand);
    if (automatic && !(*flags & kReachabilityFlagInterventionRequired)) return ReachableViaNetwork;
    return NotReachable;
}

namespace {

bool routeIsDefaultAndUp(const struct nlmsghdr* header,
                         const std::function<bool(int)>& interfaceIsUp) {
    if (header->nlmsg_len < NLMSG_LENGTH(sizeof(struct rtmsg))) return false;
    const auto* route = static_cast<const struct rtmsg*>(NLMSG_DATA(header));
    if (route->rtm_family != AF_INET && route->rtm_family != AF_INET6) return false;
    if (route->rtm_dst_len != 0 || route->rtm_type != RTN_UNICAST) return false;

    int length = static_cast<int>(RTM_PAYLOAD(header));
    for (const struct rtattr* attribute = RTM_RTA(route); RTA_OK(attribute, length);
         attribute = RTA_NEXT(attribute, length)) {
        if (attribute->rta_type == RTA_OIF && RTA_PAYLOAD(attribute) >= sizeof(int)) {
            int index;
            std::memcpy(&index, RTA_DATA(attribute), sizeof index);
            if (interfaceIsUp(index)) return true;
        } else if (attribute->rta_type == RTA_MULTIPATH) {
            const auto* hop = static_cast<const struct rtnexthop*>(RTA_DATA(attribute));
            int remaining = static_cast<int>(RTA_PAYLOAD(attribute));
            while (RTNH_OK(hop, remaining)) {
                if (interfaceIsUp(hop->rtnh_ifindex)) return true;
                remaining -= RTNH_ALIGN(hop->rtnh_len);
                hop = RTNH_NEXT(hop);
            }
        }
    }
    return false;
}

bool interfaceIsUp(int index) {
    char name[IF_NAMESIZE];
    if (!::if_indextoname(static_cast<unsigned>(index), name)) return false;
    VTRFileDescriptor probe(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!probe.valid()) return false;
    struct ifreq request {};
    // if_indextoname() gives at most IF_NAMESIZE bytes including the terminator.
    std::memcpy(request.ifr_name, name, std::min(std::strlen(name) + 1, sizeof request.ifr_name));
    if (::ioctl(probe.get(), SIOCGIFFLAGS, &request) != 0) return false;
    return request.ifr_flags & IFF_UP;
}

// The whole route dump, or nothing when the kernel cannot be asked.
std::optional<std::vector<uint8_t>> readRouteDump() {
    VTRFileDescriptor socket(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (!socket.valid()) return std::nullopt;
    struct {
        struct nlmsghdr header;
        struct rtmsg route;
    } request{};
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof(struct rtmsg));
    request.header.nlmsg_type = RTM_GETROUTE;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = 1;
    request.route.rtm_family = AF_UNSPEC;
    struct sockaddr_nl kernel {};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(socket.get(), &request, request.header.nlmsg_len, 0,
                 reinterpret_cast<struct sockaddr*>(&kernel), sizeof kernel) < 0)
        return std::nullopt;

    std::vector<uint8_t> dump;
    std::vector<uint8_t> buffer(32768);
    for (;;) {
        ssize_t got = ::recv(socket.get(), buffer.data(), buffer.size(), 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return std::nullopt;
        dump.insert(dump.end(), buffer.begin(), buffer.begin() + got);
        // The dump ends with NLMSG_DONE (or an error), as the last message of a datagram.
        int length = static_cast<int>(got);
        for (auto* header = reinterpret_cast<struct nlmsghdr*>(buffer.data());
             NLMSG_OK(header, length); header = NLMSG_NEXT(header, length)) {
            if (header->nlmsg_type == NLMSG_DONE || header->nlmsg_type == NLMSG_ERROR) return dump;
        }
    }
}

}  // namespace

std::optional<bool> dumpHasDefaultRoute(std::span<const uint8_t> dump,
                                        const std::function<bool(int)>& isUp) {
    // Netlink messages are 4-byte aligned; copy so the casts below are sound for any span.
    std::vector<uint32_t> aligned((dump.size() + 3) / 4);
    std::memcpy(aligned.data(), dump.data(), dump.size());
    int length = static_cast<int>(dump.size());
    bool found = false;
    for (auto* header = reinterpret_cast<const struct nlmsghdr*>(aligned.data());
         NLMSG_OK(header, length); header = NLMSG_NEXT(header, length)) {
        if (header->nlmsg_type == NLMSG_ERROR) return std::nullopt;
        if (header->nlmsg_type == NLMSG_DONE) return found;
        if (header->nlmsg_type == RTM_NEWROUTE && routeIsDefaultAndUp(header, isUp)) found = true;
    }
    if (length != 0) return std::nullopt;  // trailing bytes that make no message
    return found;
}

struct Reachability::Notifier {
    Notifier(asio::io_context& context, int fd, ChangeHandler changed)
        : descriptor(context, fd), changed(std::move(changed)) {}
    asio::posix::stream_descriptor descriptor;  // owns the netlink socket
    ChangeHandler changed;
    std::optional<uint32_t> lastFlags;
};

std::unique_ptr<Reachability> Reachability::reachabilityForInternetConnection(VTRRunLoop& runLoop) {
    return std::make_unique<Reachability>(runLoop);
}

Reachability::Reachability(VTRRunLoop& runLoop) : runLoop_(runLoop) {}

Reachability::~Reachability() {
    stopNotifier();
}

std::optional<uint32_t> Reachability::reachabilityFlags() const {
    std::optional<std::vector<uint8_t>> dump = readRouteDump();
    if (!dump) return std::nullopt;
    std::optional<bool> hasRoute = dumpHasDefaultRoute(*dump, interfaceIsUp);
    if (!hasRoute) return std::nullopt;
    return *hasRoute ? uint32_t{kReachabilityFlagReachable} : uint32_t{0};
}

NetworkStatus Reachability::currentReachabilityStatus() const {
    return reachabilityStatusForFlags(reachabilityFlags());
}

bool Reachability::startNotifier(ChangeHandler changed) {
    stopNotifier();
    int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0) return false;
    VTRFileDescriptor socket(fd);
    struct sockaddr_nl address {};
    address.nl_family = AF_NETLINK;
    address.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;
    if (::bind(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof address) != 0) return false;
    notifier_ =
        std::make_shared<Notifier>(runLoop_.context(), socket.release(), std::move(changed));
    notifier_->lastFlags = reachabilityFlags();
    waitForChanges(notifier_);
    return true;
}

void Reachability::stopNotifier() {
    notifier_.reset();
}

void Reachability::waitForChanges(const std::weak_ptr<Notifier>& weakNotifier) {
    auto notifier = weakNotifier.lock();
    if (!notifier) return;
    notifier->descriptor.async_wait(asio::posix::stream_descriptor::wait_read,
                                    [this, weakNotifier](const std::error_code& error) {
                                        if (!error) routingChanged(weakNotifier);
                                    });
}

void Reachability::routingChanged(const std::weak_ptr<Notifier>& weakNotifier) {
    auto notifier = weakNotifier.lock();
    if (!notifier) return;
    // The messages only say that something changed; the table is read again as a whole.
    char buffer[8192];
    while (::recv(notifier->descriptor.native_handle(), buffer, sizeof buffer, 0) > 0) {
    }
    std::optional<uint32_t> flags = reachabilityFlags();
    if (flags != notifier->lastFlags) {
        notifier->lastFlags = flags;
        ChangeHandler changed = notifier->changed;  // the handler may stop this notifier
        notifier.reset();
        changed(*this);
        if (weakNotifier.expired()) return;  // stopped (or this object destroyed) meanwhile
    }
    waitForChanges(weakNotifier);
}

}  // namespace vtr
