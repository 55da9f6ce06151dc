// JobWatcher: follows jobs through the control API's event stream (GET /events) until each is
// completed or errored (or nothing can move them on), drawing progress bars on a terminal or
// printing one line per change otherwise. A daemon without the stream (405) is polled instead.
// Use from one thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <iosfwd>
#include <map>
#include <string>
#include <vector>

#include "ControlClient.h"
#include "JobActivity.h"
#include "JobSummary.h"

namespace vtr::cli {

class JobWatcher {
  public:
    enum class Output { Bars, Lines, JSONLines };

    JobWatcher(ControlClient& client, std::ostream& out, std::ostream& err, Output output,
               std::chrono::milliseconds interval);

    // Watches `ids`, or every job the daemon has when `ids` is empty. Returns the exit status:
    // 0 when every job completed, 1 when one errored or stalled, 4 when one was removed, and
    // that of the failed request when the daemon stops answering.
    int run(std::vector<std::string> ids);

  private:
    struct Sample {
        std::chrono::steady_clock::time_point time;
        uint64_t bytes;
    };
    struct Watched {
        std::string id;
        JobSummary job;
        bool seen = false;
        bool listed = false;  // in the listing that opened the current event stream
        bool removed = false;
        std::deque<Sample> samples;
        std::string lastPrinted;
    };

    // Follows the event stream until the jobs are settled, and returns the exit status; nothing
    // when the daemon has no stream (poll instead).
    std::optional<int> follow();
    // Takes in one event of the stream.
    void takeEvent(const std::string& name, const std::string& data);
    // Polls until the jobs are settled; returns the exit status.
    int poll();
    // Every job is finished, or none can move on.
    bool settled() const;
    // Refreshes one job; false when the daemon could not be asked (status in `failureStatus_`).
    bool refresh(Watched& watched);
    // Takes in the job's JSON form.
    void apply(Watched& watched, const nlohmann::json& job);
    // Refreshes what the jobs' uploads are doing, while the daemon can say.
    void refreshActivities();
    // The activity of the job `id`; nothing while it has none.
    const JobActivity* activityOf(const std::string& id) const;
    // Bytes per second over the recent samples; negative when not yet known.
    double rate(const Watched& watched) const;
    std::string progressText(const Watched& watched, size_t width) const;
    void draw(bool first);
    int finish();

    ControlClient& client_;
    std::ostream& out_;
    std::ostream& err_;
    Output output_;
    std::chrono::milliseconds interval_;
    std::vector<Watched> jobs_;
    std::map<std::string, JobActivity> activities_;
    bool askForActivities_ = true;  // until a daemon without /activity answers
    bool ready_ = false;            // the stream's snapshot is complete
    bool drawn_ = false;            // the first picture is out (bars redraw it in place)
    int failureStatus_ = 0;
};

// The width of the terminal on standard output, 80 when it cannot be asked.
size_t terminalWidth();

}  // namespace vtr::cli
