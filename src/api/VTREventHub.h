// VTREventHub: the control API's event streams. It turns job changes and upload activity into
// Server-Sent Events, numbers them with ids that increase over the daemon's life, writes each
// event's text once and hands it to every open stream. Progress is held back to at most one event
// per job per progress interval; the last progress of a burst goes out when the interval ends.
// Any thread may call it (see VTRJobChangeObserver); held-back progress is sent from the run loop.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "service/VTRJobChangeObserver.h"

namespace vtr {

class HTTPStream;
class VTRRunLoop;

// The JSON form of one upload's activity, as GET /activity lists it.
nlohmann::json VTRActivityForm(const VTRJobActivity& activity);

class VTREventHub : public VTRJobChangeObserver, public std::enable_shared_from_this<VTREventHub> {
  public:
    // The stored form of a job, as the JSON text GET /jobs/:id gives, or nothing when it is gone
    // (or has no JSON form).
    using JobForm = std::function<std::optional<std::string>(const std::string& jobID)>;
    // The stored forms of every job, as JSON text.
    using AllJobForms = std::function<std::vector<std::string>()>;

    struct Options {
        std::chrono::milliseconds progressInterval{250};
        std::chrono::milliseconds keepAliveInterval{std::chrono::seconds(15)};
    };

    // Every job event reads the job through `jobForm`; held-back progress is sent from
    // `runLoop`.
    VTREventHub(VTRRunLoop& runLoop, JobForm jobForm, Options options);
    VTREventHub(VTRRunLoop& runLoop, JobForm jobForm);

    const Options& options() const { return options_; }

    // Sends `stream` one job event per form `allJobs` gives, then "ready", then every later
    // event. `allJobs` is read while no event is being sent, so none is missed or doubled.
    void subscribe(std::shared_ptr<HTTPStream> stream, const AllJobForms& allJobs);

    // VTRJobChangeObserver
    void jobChanged(const std::string& jobID) override;
    void jobProgressed(const std::string& jobID) override;
    void jobRemoved(const std::string& jobID) override;
    void activityChanged(const VTRJobActivity& activity) override;

  private:
    struct Throttle {
        std::chrono::steady_clock::time_point lastSent;
        bool pending = false;
    };

    // Needs mutex_: numbers the event, writes its text and hands it to every stream.
    void publishLocked(const char* event, const std::string& data);
    void publishJobLocked(const std::string& jobID);
    void flushProgress(const std::string& jobID);

    VTRRunLoop& runLoop_;
    JobForm jobForm_;
    Options options_;

    std::mutex mutex_;
    uint64_t lastID_ = 0;
    std::vector<std::shared_ptr<HTTPStream>> streams_;
    std::unordered_map<std::string, Throttle> throttles_;
};

}  // namespace vtr
