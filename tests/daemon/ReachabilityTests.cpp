// Reachability: the status rule from the flag bits, reading default routes out of rtnetlink
// dumps, and the live routing table of a network namespace the test changes.
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

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
    for (uint32_t flags : {0u, C | T | D, R | C, R | C | T | I, R | C | D | I, R | C | I})
        EXPECT_EQ(reachabilityStatusForFlags(flags), NotReachable) << flags;
    for (uint32_t flags : {R, R | I, R | C | T, R | C | D})
        EXPECT_EQ(reachabilityStatusForFlags(flags), ReachableViaNetwork) << flags;
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
    DumpBuilder second = DumpBuilder().route(AF_INET, 24, RTN_UNICAST, 2);
    EXPECT_EQ(check(second.route(AF_INET, 0, RTN_UNICAST, 9).done(), 9), true) << "second route";
    EXPECT_EQ(check(DumpBuilder().done(), 1), false);
    EXPECT_EQ(check(DumpBuilder().error(), 1), std::nullopt);

    std::vector<uint8_t> truncated = DumpBuilder().route(AF_INET, 0, RTN_UNICAST, 2).bytes();
    truncated.resize(truncated.size() - 3);
    EXPECT_EQ(dumpHasDefaultRoute(truncated, upIs(2)), std::nullopt);
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
            reachability.stopNotifier();
            reachability.stopNotifier();
            _exit(reports[1] == NotReachable ? 0 : 9);
        },
        testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace vtr
