#include "JobWatcher.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <ostream>
#include <set>
#include <sstream>
#include <thread>

#include <fmt/format.h>

#include "ExitStatus.h"
#include "foundation/VTRPrintableText.h"

namespace vtr::cli {

namespace {

// Long enough to smooth the chunk-by-chunk steps of the uploaded bytes, short enough to follow
// a change of speed.
constexpr auto RateWindow = std::chrono::seconds(10);
constexpr size_t IDColumns = 13;

// Cuts `line` to `columns` characters, counting UTF-8 sequences as one column each.
std::string fitToColumns(const std::string& line, size_t columns) {
    size_t used = 0;
    for (size_t i = 0; i < line.size(); ++i) {
        if ((static_cast<unsigned char>(line[i]) & 0xC0) == 0x80) continue;
        if (used++ == columns) return line.substr(0, i);
    }
    return line;
}

std::string shortID(const std::string& rawID) {
    std::string id = printableText(rawID);
    if (id.size() <= IDColumns) return fmt::format("{:<{}}", id, IDColumns);
    return id.substr(0, IDColumns - 1) + "\xE2\x80\xA6";  // "…", one column wide
}

// What a line-per-update output compares to decide that a job has changed. A retry counts
// by its call, attempt and reason: its countdown alone is no news.
std::string changeKey(const JobSummary& job, const JobActivity* activity) {
    std::string key = fmt::format("{}|{}|{}|{}|{}", job.state, job.bytesUploaded(),
                                  job.totalBytes(), job.filesClosed(), job.error);
    if (activity) key += "|" + activity->phase;
    if (activity && activity->retry)
        key += fmt::format("|{}|{}|{}", activity->retry->method, activity->retry->attempt,
                           activity->retry->reason);
    return key;
}

}  // namespace

size_t terminalWidth() {
    winsize size{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 80;
}

JobWatcher::JobWatcher(ControlClient& client, std::ostream& out, std::ostream& err, Output output,
                       std::chrono::milliseconds interval)
    : client_(client), out_(out), err_(err), output_(output), interval_(interval) {}

int JobWatcher::run(std::vector<std::string> ids) {
    if (ids.empty()) {
        ControlClient::Reply reply = client_.send("GET", "/jobs");
        if (!reply.answered || reply.status != 200)
            return reportFailedReply(reply, client_, "GET /jobs", {}, err_);
        auto list = nlohmann::json::parse(reply.body, nullptr, false);
        if (!list.is_array()) {
            err_ << "vantrel-upload: the upload daemon's job list is not a JSON array\n";
            return ExitFailed;
        }
        for (const auto& job : list) ids.push_back(JobSummary::fromJSON(job).id);
        std::sort(ids.begin(), ids.end());
        if (ids.empty()) {
            if (output_ != Output::JSONLines) out_ << "No jobs to watch.\n";
            return ExitSucceeded;
        }
    }
    std::set<std::string> known;
    for (std::string& id : ids) {
        if (known.insert(id).second)
            jobs_.push_back(Watched{std::move(id), {}, false, false, false, {}, {}});
    }

    if (std::optional<int> status = follow()) return *status;
    return poll();
}

std::optional<int> JobWatcher::follow() {
    while (true) {
        std::string pending;
        bool done = false;
        ready_ = false;
        for (Watched& job : jobs_) job.listed = false;
        ControlClient::Reply reply = client_.stream("/events", [&](std::string_view data) {
            pending.append(data);
            // Events end with an empty line; comments (keep-alives) start with ':'.
            for (size_t end; (end = pending.find("\n\n")) != std::string::npos;) {
                std::string name, payload;
                std::istringstream lines(pending.substr(0, end + 1));
                for (std::string line; std::getline(lines, line);) {
                    if (line.starts_with("event: ")) name = line.substr(7);
                    if (line.starts_with("data: ")) payload = line.substr(6);
                }
                pending.erase(0, end + 2);
                if (!name.empty()) takeEvent(name, payload);
            }
            done = ready_ && settled();
            return !done;
        });
        if (done) return finish();
        if (reply.answered && reply.status == 405) return std::nullopt;
        if (!ready_) {
            int status = reportFailedReply(reply, client_, "GET /events", {}, err_);
            if (status == ExitSucceeded) {
                err_ << "vantrel-upload: the upload daemon's event stream ended at once\n";
                status = ExitFailed;
            }
            return status;
        }
        // The daemon closed a stream it had served (a restart, or a reader too far behind):
        // a new one starts with every job as it is now.
    }
}

void JobWatcher::takeEvent(const std::string& name, const std::string& data) {
    auto value = nlohmann::json::parse(data, nullptr, false);
    std::string id = value.is_object() && value.contains("id") && value["id"].is_string()
                         ? value["id"].get<std::string>()
                         : std::string();
    if (name == "ready") {
        // Jobs the daemon did not list (in this stream: a job deleted while the watcher
        // reconnected was listed by the one before) do not exist.
        for (Watched& job : jobs_) job.removed = job.removed || !job.listed;
        ready_ = true;
        draw(!drawn_);
        drawn_ = true;
        return;
    }
    auto watched = std::find_if(jobs_.begin(), jobs_.end(), [&](auto& w) { return w.id == id; });
    if (watched == jobs_.end()) return;
    if (name == "job") {
        watched->listed = true;
        apply(*watched, value);
        if (watched->job.isFinished() || watched->job.isStalled()) activities_.erase(id);
    } else if (name == "removed") {
        watched->removed = true;
    } else if (name == "activity" && output_ != Output::JSONLines) {
        activities_[id] = JobActivity::fromJSON(value);
    }
    if (ready_) draw(false);
}

bool JobWatcher::settled() const {
    for (const Watched& watched : jobs_) {
        if (watched.removed || watched.job.isFinished()) continue;
        if (!watched.job.isStalled()) return false;
    }
    return true;
}

int JobWatcher::poll() {
    for (bool first = true;; first = false) {
        for (Watched& watched : jobs_) {
            if (watched.removed || (watched.seen && watched.job.isFinished())) continue;
            if (!refresh(watched)) return failureStatus_;
        }
        refreshActivities();
        draw(first);
        if (settled()) return finish();
        std::this_thread::sleep_for(interval_);
    }
}

bool JobWatcher::refresh(Watched& watched) {
    ControlClient::Reply reply = client_.send("GET", "/jobs/" + watched.id);
    if (reply.answered && reply.status == 404) {
        watched.removed = true;
        return true;
    }
    if (!reply.answered || reply.status != 200) {
        failureStatus_ =
            reportFailedReply(reply, client_, "GET /jobs/" + watched.id, watched.id, err_);
        return false;
    }
    auto job = nlohmann::json::parse(reply.body, nullptr, false);
    if (!job.is_object()) {
        err_ << fmt::format(
            "vantrel-upload: the upload daemon's answer for job {} is not a JSON "
            "object\n",
            printableText(watched.id));
        failureStatus_ = ExitFailed;
        return false;
    }
    apply(watched, job);
    return true;
}

void JobWatcher::apply(Watched& watched, const nlohmann::json& job) {
    watched.job = JobSummary::fromJSON(job);
    watched.seen = true;
    auto now = std::chrono::steady_clock::now();
    uint64_t bytes = watched.job.bytesUploaded();
    // A restart from zero makes the old samples meaningless for the rate.
    if (!watched.samples.empty() && bytes < watched.samples.back().bytes) watched.samples.clear();
    watched.samples.push_back(Sample{now, bytes});
    while (watched.samples.size() > 2 && now - watched.samples.front().time > RateWindow)
        watched.samples.pop_front();
    if (output_ == Output::JSONLines) {
        std::string key = changeKey(watched.job, nullptr);
        if (key != watched.lastPrinted) out_ << job.dump() << "\n";
        watched.lastPrinted = key;
    }
}

void JobWatcher::refreshActivities() {
    // The JSON lines carry the jobs' own JSON only.
    if (output_ == Output::JSONLines || !askForActivities_) return;
    bool unsupported = false;
    auto activities = fetchActivities(client_, &unsupported);
    askForActivities_ = !unsupported;
    activities_ = activities ? std::move(*activities) : std::map<std::string, JobActivity>();
}

const JobActivity* JobWatcher::activityOf(const std::string& id) const {
    auto found = activities_.find(id);
    return found == activities_.end() ? nullptr : &found->second;
}

double JobWatcher::rate(const Watched& watched) const {
    if (watched.samples.size() < 2) return -1;
    const Sample& oldest = watched.samples.front();
    const Sample& newest = watched.samples.back();
    double seconds = std::chrono::duration<double>(newest.time - oldest.time).count();
    if (seconds < 0.2) return -1;
    return static_cast<double>(newest.bytes - oldest.bytes) / seconds;
}

std::string JobWatcher::progressText(const Watched& watched, size_t width) const {
    const JobSummary& job = watched.job;
    std::string id = printableText(watched.id);
    if (watched.removed) return fmt::format("{}  removed", id);
    double bytesPerSecond = rate(watched);
    bool moving = !job.isFinished() && !job.isStalled();
    std::string speed = moving && bytesPerSecond >= 0
                            ? formatBytes(static_cast<uint64_t>(bytesPerSecond)) + "/s"
                            : "-";
    double remaining =
        static_cast<double>(job.totalBytes() - std::min(job.totalBytes(), job.bytesUploaded()));
    std::string left =
        moving && bytesPerSecond > 0 ? formatDuration(remaining / bytesPerSecond) : "--:--";
    std::string state = printableText(job.state);
    if (!job.error.empty()) state += ": " + printableText(job.error);
    if (const JobActivity* activity = activityOf(watched.id); activity && moving) {
        if (std::string note = activityNote(*activity); !note.empty()) state += ", " + note;
    }

    if (output_ == Output::Lines) {
        std::string line =
            fmt::format("{}  {}  {:.1f}%  {} of {}", id, state, job.percentDone(),
                        formatBytes(job.bytesUploaded()), formatBytes(job.totalBytes()));
        if (moving) line += fmt::format("  {}  {} left", speed, left);
        return line;
    }
    std::string figures =
        fmt::format(" {:5.1f}% {}/{} {} {} {}", job.percentDone(), formatBytes(job.bytesUploaded()),
                    formatBytes(job.totalBytes()), speed, left, state);
    // id, space, brackets, figures, and one spare column so the line never wraps.
    size_t fixed = IDColumns + 1 + 2 + figures.size() + 1;
    size_t barWidth = width > fixed + 10 ? width - fixed : 10;
    size_t filled = static_cast<size_t>(job.percentDone() / 100.0 * static_cast<double>(barWidth));
    std::string line = fmt::format("{} [{}{}]{}", shortID(watched.id), std::string(filled, '#'),
                                   std::string(barWidth - filled, '-'), figures);
    // A wrapped line would throw off the cursor movement that redraws the bars.
    return fitToColumns(line, width - 1);
}

void JobWatcher::draw(bool first) {
    switch (output_) {
        case Output::JSONLines:
            break;  // printed as each answer arrives
        case Output::Lines:
            for (Watched& watched : jobs_) {
                std::string key =
                    watched.removed ? "removed" : changeKey(watched.job, activityOf(watched.id));
                if (key == watched.lastPrinted) continue;
                watched.lastPrinted = key;
                out_ << progressText(watched, 0) << "\n";
            }
            break;
        case Output::Bars: {
            size_t width = terminalWidth();
            if (!first) out_ << fmt::format("\x1b[{}A", jobs_.size());
            for (const Watched& watched : jobs_)
                out_ << "\r\x1b[2K" << progressText(watched, width) << "\n";
            break;
        }
    }
    out_.flush();
}

int JobWatcher::finish() {
    int status = ExitSucceeded;
    size_t completed = 0;
    for (const Watched& watched : jobs_) {
        const JobSummary& job = watched.job;
        if (watched.removed) {
            std::string id = printableText(watched.id);
            err_ << (watched.seen ? fmt::format("vantrel-upload: job {} was removed\n", id)
                                  : fmt::format("vantrel-upload: no job with id {}\n", id));
            status = ExitJobNotFound;
        } else if (job.state == "completed") {
            ++completed;
        } else if (job.state == "errored") {
            err_ << fmt::format("vantrel-upload: job {} errored: {}\n", printableText(watched.id),
                                job.error.empty() ? "no error text" : printableText(job.error));
            if (status == ExitSucceeded) status = ExitFailed;
        } else {
            err_ << fmt::format(
                "vantrel-upload: job {} is {}; nothing moves it on until it is resumed\n",
                printableText(watched.id), printableText(job.state));
            if (status == ExitSucceeded) status = ExitFailed;
        }
    }
    if (output_ != Output::JSONLines)
        out_ << fmt::format("{} of {} jobs completed\n", completed, jobs_.size());
    return status;
}

}  // namespace vtr::cli
