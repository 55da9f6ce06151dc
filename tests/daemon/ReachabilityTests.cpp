// Reachability: the status rule from the flag bits, reading default routes out of rtnetlink
// dumps, and the live routing table compared with what /proc reports.
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "daemon/Reachability.h"
#include "foundation/VTRRunLoop.h"
#include "support/ChildProcess.h"

namespace vtr {
namespace {

TEST(ReachabilityStatus, FollowsTheFlagRule) {
    const uint32_t R = kReachabilityFlagReachable, C = kReachabilityFlagConnectionRequired,
                   T = kReachabilityFlagConnectionOnTraffic,
                   I = kReachabilityFlagInterventionRequired,
                   D = kReachabilityFlagConnectionOnDemand;
    EXPECT_EQ(reachabilityStatusForFlags(std::nullopt), NotReachable);
    EXPECT_EQ(reachabilityStatusForFlags(0u), NotReachable);
    EXPECT_EQ(reachabilityStatusForFlags(C | T | D), NotReachable);
    EXPECT_EQ(reachabilityStatusForFlags(R), ReachableViaNetwork);
    EXPECT_EQ(reachabilityStatusForFlags(R | I), ReachableViaNetwork);
    EXPECT_EQ(reachabilityStatusForFlags(R | C), NotReachable);
    EXPECT_EQ(reachabilityStatusForFlags(R | C | T), ReachableViaNetwork);
    EXPECT_EQ(reachabilityStatusForFlags(R | C | D), ReachableViaNetwork);
    EXPECT_EQ(reachabilityStatusForFlags(R | C | T | I), NotReachable);
    EXPECT_EQ(reachabilityStatusForFlags(R | C | D | I), NotReachable);
    EXPECT_EQ(reachabilityStatusForFlags(R | C | I), NotReachable);
}

// Builds rtnetlink dumps the way the kernel lays them out.
class DumpBuilder {
  public:
    DumpBuilder& route(int family, int destinationLength, int type, std::optional<int> oif,
                       std::vector<int> nextHops = {}) {
        size_t start = begin(RTM_NEWROUTE);
        struct rtmsg message {};
        message.rtm_family = static_cast<unsigned char>(family);
        message.rtm_dst_len = static_cast<unsigned char>(destinationLength);
        message.rtm_type = static_cast<unsigned char>(type);
        message.rtm_table = RT_TABLE_MAIN;
        append(&message, sizeof message);
        if (oif) attribute(RTA_OIF, &*oif, sizeof(int));
        if (!nextHops.empty()) {
            std::vector<uint8_t> hops;
            for (int index : nextHops) {
                struct rtnexthop hop {};
                hop.rtnh_len = sizeof hop;
                hop.rtnh_ifindex = index;
                auto* bytes = reinterpret_cast<uint8_t*>(&hop);
                hops.insert(hops.end(), bytes, bytes + sizeof hop);
            }
            attribute(RTA_MULTIPATH, hops.data(), hops.size());
        }
        end(start);
        return *this;
    }
    DumpBuilder& done() {
        end(begin(NLMSG_DONE));
        return *this;
    }
    DumpBuilder& error() {
        size_t start = begin(NLMSG_ERROR);
        struct nlmsgerr failure {};
        failure.error = -EPERM;
        append(&failure, sizeof failure);
        end(start);
        return *this;
    }
    std::vector<uint8_t> bytes() const { return bytes_; }

  private:
    size_t begin(uint16_t type) {
        size_t start = bytes_.size();
        struct nlmsghdr header {};
        header.nlmsg_type = type;
        append(&header, sizeof header);
        return start;
    }
    void end(size_t start) {
        uint32_t length = static_cast<uint32_t>(bytes_.size() - start);
        std::memcpy(bytes_.data() + start, &length, sizeof length);
        bytes_.resize(start + NLMSG_ALIGN(length));
    }
    void attribute(unsigned short type, const void* data, size_t size) {
        struct rtattr header {};
        header.rta_type = type;
        header.rta_len = static_cast<unsigned short>(RTA_LENGTH(size));
        append(&header, sizeof header);
        append(data, size);
        bytes_.resize(bytes_.size() + (RTA_ALIGN(header.rta_len) - header.rta_len));
    }
    void append(const void* data, size_t size) {
        auto* p = static_cast<const uint8_t*>(data);
        bytes_.insert(bytes_.end(), p, p + size);
    }
    std::vector<uint8_t> bytes_;
};

TEST(ReachabilityDump, NeedsAUnicastDefaultRouteThroughAnInterfaceThatIsUp) {
    auto upIs = [](int up) { return [up](int index) { return index == up; }; };
    auto check = [&](DumpBuilder dump, int up) {
        return dumpHasDefaultRoute(dump.bytes(), upIs(up));
    };

    EXPECT_EQ(check(DumpBuilder().route(AF_INET, 0, RTN_UNICAST, 2).done(), 2), true);
    EXPECT_EQ(check(DumpBuilder().route(AF_INET6, 0, RTN_UNICAST, 3).done(), 3), true);
    EXPECT_EQ(check(DumpBuilder().route(AF_INET, 0, RTN_UNICAST, 2).done(), 5), false)
        << "interface down";
    EXPECT_EQ(check(DumpBuilder().route(AF_INET, 24, RTN_UNICAST, 2).done(), 2), false)
        << "not a default route";
    EXPECT_EQ(check(DumpBuilder().route(AF_INET, 0, RTN_UNREACHABLE, 2).done(), 2), false);
    EXPECT_EQ(check(DumpBuilder().route(AF_INET, 0, RTN_UNICAST, std::nullopt, {4, 7}).done(), 7),
              true)
        << "multipath";
    EXPECT_EQ(check(DumpBuilder()
                        .route(AF_INET, 24, RTN_UNICAST, 2)
                        .route(AF_INET, 0, RTN_UNICAST, 9)
                        .done(),
                    9),
              true);
    EXPECT_EQ(check(DumpBuilder().done(), 1), false);
    EXPECT_EQ(check(DumpBuilder().error(), 1), std::nullopt);

    std::vector<uint8_t> truncated = DumpBuilder().route(AF_INET, 0, RTN_UNICAST, 2).bytes();
    truncated.resize(truncated.size() - 3);
    EXPECT_EQ(dumpHasDefaultRoute(truncated, upIs(2)), std::nullopt);
}

// What /proc and /sys say: some default route through an interface flagged up.
bool procShowsDefaultRouteUp() {
    auto interfaceUp = [](const std::string& name) {
        std::ifstream flags("/sys/class/net/" + name + "/flags");
        unsigned value = 0;
        flags >> std::hex >> value;
        return (value & 0x1) != 0;
    };
    std::ifstream ipv4("/proc/net/route");
    std::string line;
    std::getline(ipv4, line);  // header
    while (std::getline(ipv4, line)) {
        std::istringstream fields(line);
        std::string name, destination, gateway, flags, refcnt, use, metric, mask;
        fields >> name >> destination >> gateway >> flags >> refcnt >> use >> metric >> mask;
        if (destination == "00000000" && mask == "00000000" && interfaceUp(name)) return true;
    }
    std::ifstream ipv6("/proc/net/ipv6_route");
    while (std::getline(ipv6, line)) {
        std::istringstream fields(line);
        std::string destination, prefix, source, sourcePrefix, nextHop, metric, refcnt, use, flags,
            name;
        fields >> destination >> prefix >> source >> sourcePrefix >> nextHop >> metric >> refcnt >>
            use >> flags >> name;
        unsigned long routeFlags = std::stoul(flags, nullptr, 16);
        bool rejected = routeFlags & 0x0200;  // RTF_REJECT: unreachable and the like
        if (prefix == "00" && !rejected && name != "lo" && interfaceUp(name)) return true;
    }
    return false;
}

TEST(Reachability, AgreesWithTheRoutingTableAndStartsAndStopsItsNotifier) {
    VTRRunLoop loop;
    auto reachability = Reachability::reachabilityForInternetConnection(loop);
    std::optional<uint32_t> flags = reachability->reachabilityFlags();
    ASSERT_TRUE(flags.has_value()) << "rtnetlink must be readable";
    NetworkStatus expected = procShowsDefaultRouteUp() ? ReachableViaNetwork : NotReachable;
    EXPECT_EQ(reachability->currentReachabilityStatus(), expected);

    int changes = 0;
    EXPECT_TRUE(reachability->startNotifier([&](Reachability&) { ++changes; }));
    loop.runFor(std::chrono::milliseconds(20));
    reachability->stopNotifier();
    reachability->stopNotifier();
    EXPECT_EQ(changes, 0) << "no change in the routing table, no report";
}

// In a network namespace of its own the test controls the routing table: it starts with no
// route at all, then gains and loses a default route through the loopback interface.
TEST(Reachability, NotifiesWhenADefaultRouteComesAndGoes) {
    if (!test::canMakeNetworkNamespaces())
        GTEST_SKIP() << "needs permission to make a network namespace";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            if (unshare(CLONE_NEWNET) != 0) _exit(1);
            VTRRunLoop loop;
            Reachability reachability(loop);
            if (reachability.currentReachabilityStatus() != NotReachable) _exit(2);
            std::vector<NetworkStatus> reports;
            if (!reachability.startNotifier([&](Reachability& changed) {
                    reports.push_back(changed.currentReachabilityStatus());
                }))
                _exit(3);
            if (std::system("ip link set lo up && ip route add default dev lo") != 0) _exit(4);
            if (!loop.runUntil([&] { return reports.size() == 1; }, std::chrono::seconds(10)))
                _exit(5);
            if (reports[0] != ReachableViaNetwork) _exit(6);
            if (std::system("ip route del default dev lo") != 0) _exit(7);
            if (!loop.runUntil([&] { return reports.size() == 2; }, std::chrono::seconds(10)))
                _exit(8);
            _exit(reports[1] == NotReachable ? 0 : 9);
        },
        testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace vtr
