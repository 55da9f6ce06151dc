// VTRFileEventsHelper: reports that something changed in a watched directory (inotify). Changes
// are gathered for `latency` after the first one and then reported once, naming the directory.
// Create, use and destroy it on the thread that runs its run loop (the main thread).
#pragma once

#include <chrono>
#include <memory>
#include <string>

namespace vtr {

class VTRRunLoop;
class VTRFileEventsHelper;

class VTRFileEventsHelperDelegate {
  public:
    virtual ~VTRFileEventsHelperDelegate() = default;
    virtual void fileEventsHelperUpdateForPath(VTRFileEventsHelper& helper,
                                               const std::string& path) = 0;
};

class VTRFileEventsHelper {
  public:
    static constexpr std::chrono::milliseconds kDefaultLatency{5000};

    explicit VTRFileEventsHelper(VTRRunLoop& runLoop,
                                 std::chrono::steady_clock::duration latency = kDefaultLatency);
    ~VTRFileEventsHelper();
    VTRFileEventsHelper(const VTRFileEventsHelper&) = delete;
    VTRFileEventsHelper& operator=(const VTRFileEventsHelper&) = delete;

    // Not owned; must outlive the watching or be cleared first.
    void setDelegate(VTRFileEventsHelperDelegate* delegate) { delegate_ = delegate; }
    VTRFileEventsHelperDelegate* delegate() const { return delegate_; }

    // Replaces any earlier watch. A directory that cannot be watched yields no reports.
    void startWatchingDirectory(const std::string& path);
    void stopWatching();
    bool isWatching() const { return watch_ != nullptr; }
    const std::string& path() const { return path_; }

    void pathUpdated(const std::string& path);

  private:
    struct Watch;
    void waitForEvents(const std::weak_ptr<Watch>& watch);
    void eventsArrived(const std::weak_ptr<Watch>& watch);

    VTRRunLoop& runLoop_;
    std::chrono::steady_clock::duration latency_;
    VTRFileEventsHelperDelegate* delegate_ = nullptr;
    std::string path_;
    // Shared with the pending asio handlers, which hold it weakly: a stopped watch is gone.
    std::shared_ptr<Watch> watch_;
};

}  // namespace vtr
