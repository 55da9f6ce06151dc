// Reachability: whether the general internet may be reachable, judged from the routing table:
// a default route (IPv4 or IPv6) through an interface that is up. Changes are watched on an
// rtnetlink socket read by the run loop; no packet leaves the machine.
// Create, use and destroy it on the thread that runs its run loop (the main thread).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>

namespace vtr {

class VTRRunLoop;

enum ReachabilityFlags : uint32_t {
    kReachabilityFlagReachable = 0x2,
    kReachabilityFlagConnectionRequired = 0x4,
    kReachabilityFlagConnectionOnTraffic = 0x8,
    kReachabilityFlagInterventionRequired = 0x10,
    kReachabilityFlagConnectionOnDemand = 0x20,
};

enum NetworkStatus : int {
    NotReachable = 0,
    ReachableViaNetwork = 1,
};

// The status rule; `flags` nothing means they could not be read.
NetworkStatus reachabilityStatusForFlags(std::optional<uint32_t> flags);

// True when an rtnetlink route dump (RTM_NEWROUTE messages) holds a unicast default route whose
// outgoing interface, or one of whose next hops' interfaces, satisfies `interfaceIsUp`.
// Nothing when the dump reports an error or is malformed.
std::optional<bool> dumpHasDefaultRoute(std::span<const uint8_t> dump,
                                        const std::function<bool(int)>& interfaceIsUp);

class Reachability {
  public:
    using ChangeHandler = std::function<void(Reachability&)>;

    // For the IPv4 any-address, that is: the internet in general.
    static std::unique_ptr<Reachability> reachabilityForInternetConnection(VTRRunLoop& runLoop);

    explicit Reachability(VTRRunLoop& runLoop);
    ~Reachability();
    Reachability(const Reachability&) = delete;
    Reachability& operator=(const Reachability&) = delete;

    // Reads the routing table now; nothing when it cannot be read.
    std::optional<uint32_t> reachabilityFlags() const;
    NetworkStatus currentReachabilityStatus() const;

    // `changed` runs on the run loop whenever the flags change, until stopNotifier().
    bool startNotifier(ChangeHandler changed);
    void stopNotifier();

  private:
    struct Notifier;
    void waitForChanges(const std::weak_ptr<Notifier>& notifier);
    void routingChanged(const std::weak_ptr<Notifier>& notifier);

    VTRRunLoop& runLoop_;
    std::shared_ptr<Notifier> notifier_;  // pending handlers hold it weakly
};

}  // namespace vtr
