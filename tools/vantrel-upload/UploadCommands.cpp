#include "UploadCommands.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <ostream>
#include <random>
#include <set>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "foundation/VTRPrintableText.h"

#include "ExitStatus.h"
#include "JobActivity.h"
#include "JobSummary.h"
#include "JobWatcher.h"

namespace vtr::cli {

namespace fs = std::filesystem;

extern "C" char** environ;

std::string makeUUID() {
    std::random_device source;
    uint8_t bytes[16];
    for (size_t i = 0; i < sizeof bytes; i += 4) {
        uint32_t word = source();
        for (size_t j = 0; j < 4; ++j) bytes[i + j] = static_cast<uint8_t>(word >> (8 * j));
    }
    bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4: random
    bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
    std::string text;
    for (size_t i = 0; i < sizeof bytes; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
        text += fmt::format("{:02x}", bytes[i]);
    }
    return text;
}

std::string problemWithJobID(const std::string& id, bool newJob) {
    if (id.empty()) return "a job id must not be empty";
    // "/jobs/." and "/jobs/.." would be read as "/jobs" or "/" by the daemon.
    if (id == "." || id == "..") return fmt::format("\"{}\" cannot be a job id", id);
    std::string shown = printableText(id);
    for (unsigned char c : id) {
        if (c <= ' ' || c == 0x7F)
            return fmt::format("job id \"{}\" holds white space or a control character", shown);
        if (newJob && (c == '/' || c == '?' || c == '#' || c == '%'))
            return fmt::format("job id \"{}\" holds \"{}\", which the daemon's paths cannot carry",
                               shown, static_cast<char>(c));
    }
    return {};
}

std::pair<std::string, std::string> splitFileArgument(const std::string& argument) {
    std::error_code ignored;
    size_t equals = argument.rfind('=');
    if (equals == std::string::npos || fs::exists(argument, ignored))
        return {argument, fs::path(argument).filename().string()};
    return {argument.substr(0, equals), argument.substr(equals + 1)};
}

namespace {

std::string searchFailureMessage(const std::string& problem, bool untrusted) {
    if (untrusted)
        return fmt::format(
            "vantrel-upload: refusing to talk to the upload daemon the locator files name: {}\n",
            printableText(problem));
    return fmt::format("vantrel-upload: the upload daemon is not running ({})\n",
                       printableText(problem));
}

}  // namespace

UploadCommands::UploadCommands(std::string locatorDirectory, std::ostream& out, std::ostream& err)
    : directory_(std::move(locatorDirectory)), out_(out), err_(err) {}

UploadCommands::~UploadCommands() = default;

bool UploadCommands::connect() {
    DaemonSearch search = locateDaemon(directory_, ::geteuid());
    location_ = search.location;
    if (!location_) {
        err_ << searchFailureMessage(search.problem, search.untrusted);
        return false;
    }
    client_ = std::make_unique<ControlClient>(location_->port);
    return true;
}

std::optional<std::string> UploadCommands::fetchJob(const std::string& id, int* status) {
    ControlClient::Reply reply = client_->send("GET", "/jobs/" + id);
    if (reply.answered && reply.status == 200) return std::move(reply.body);
    *status = reportFailedReply(reply, *client_, "GET /jobs/" + id, id, err_);
    return std::nullopt;
}

int UploadCommands::add(const AddRequest& request) {
    std::string id = request.jobID.empty() ? makeUUID() : request.jobID;
    if (std::string problem = problemWithJobID(id, true); !problem.empty()) {
        err_ << "vantrel-upload: " << problem << "\n";
        return ExitUsage;
    }
    std::string server = request.serverURL;
    if (!(server.starts_with("http://") || server.starts_with("https://")) ||
        server.find_first_not_of("/", server.find("://") + 3) == std::string::npos) {
        err_ << fmt::format(
            "vantrel-upload: --server needs an http:// or https:// URL, not \"{}\"\n",
            printableText(server));
        return ExitUsage;
    }
    if (request.sessionID.find_first_not_of(" \t\r\n") == std::string::npos) {
        err_ << "vantrel-upload: --session must not be empty\n";
        return ExitUsage;
    }

    nlohmann::json fileList = nlohmann::json::array();
    std::set<std::string> localPaths, remotePaths;
    for (const std::string& argument : request.files) {
        auto [local, remote] = splitFileArgument(argument);
        std::error_code error;
        fs::path path = fs::absolute(local, error).lexically_normal();
        if (error || !fs::is_regular_file(path, error)) {
            err_ << fmt::format("vantrel-upload: {} is not a file that can be uploaded\n",
                                printableText(local));
            return ExitUsage;
        }
        if (remote.empty()) {
            err_ << fmt::format("vantrel-upload: the remote name for {} is empty\n",
                                printableText(local));
            return ExitUsage;
        }
        // Two entries for one local file, or two files under one remote name, would have the
        // daemon upload over its own work.
        if (!localPaths.insert(path.string()).second) {
            err_ << fmt::format("vantrel-upload: {} is named twice\n",
                                printableText(path.string()));
            return ExitUsage;
        }
        if (!remotePaths.insert(remote).second) {
            err_ << fmt::format("vantrel-upload: two files have the remote name {}\n",
                                printableText(remote));
            return ExitUsage;
        }
        fileList.push_back({{"local_path", path.string()}, {"remote_path", remote}});
    }

    if (!connect()) return ExitDaemonNotRunning;
    ControlClient::Reply existing = client_->send("GET", "/jobs/" + id);
    if (existing.answered && existing.status == 200) {
        err_ << fmt::format("vantrel-upload: a job with id {} already exists\n", printableText(id));
        return ExitFailed;
    }
    if (!existing.answered || existing.status != 404)
        return reportFailedReply(existing, *client_, "GET /jobs/" + id, {}, err_);

    nlohmann::json job = {{"id", id},
                          {"server_url", request.serverURL},
                          {"session_id", request.sessionID},
                          {"state", request.paused ? "paused" : "running"},
                          {"file_list", std::move(fileList)}};
    ControlClient::Reply reply = client_->send("PUT", "/jobs/" + id, job.dump());
    if (reply.answered && reply.status == 201) {
        out_ << printableText(id) << "\n";
        return ExitSucceeded;
    }
    if (reply.answered && reply.status == 200) {
        err_ << fmt::format("vantrel-upload: a job with id {} appeared meanwhile and was updated\n",
                            printableText(id));
        return ExitFailed;
    }
    return reportFailedReply(reply, *client_, "PUT /jobs/" + id, {}, err_);
}

int UploadCommands::list(bool json) {
    if (!connect()) return ExitDaemonNotRunning;
    ControlClient::Reply reply = client_->send("GET", "/jobs");
    if (!reply.answered || reply.status != 200)
        return reportFailedReply(reply, *client_, "GET /jobs", {}, err_);
    auto jobs = nlohmann::json::parse(reply.body, nullptr, false);
    if (!jobs.is_array()) {
        err_ << "vantrel-upload: the upload daemon's job list is not a JSON array\n";
        return ExitFailed;
    }
    // The daemon lists jobs in no defined order; sorting keeps repeated output comparable.
    std::vector<std::pair<JobSummary, nlohmann::json>> sorted;
    for (auto& job : jobs) sorted.emplace_back(JobSummary::fromJSON(job), std::move(job));
    std::sort(sorted.begin(), sorted.end(),
              [](const auto& a, const auto& b) { return a.first.id < b.first.id; });
    if (json) {
        nlohmann::json array = nlohmann::json::array();
        for (auto& [summary, job] : sorted) array.push_back(std::move(job));
        out_ << array.dump(2) << "\n";
        return ExitSucceeded;
    }
    if (sorted.empty()) out_ << "No jobs.\n";
    for (const auto& entry : sorted) out_ << listLine(entry.first) << "\n";
    return ExitSucceeded;
}

int UploadCommands::show(const std::string& id, bool json) {
    if (std::string problem = problemWithJobID(id, false); !problem.empty()) {
        err_ << "vantrel-upload: " << problem << "\n";
        return ExitUsage;
    }
    if (!connect()) return ExitDaemonNotRunning;
    int status = ExitSucceeded;
    auto body = fetchJob(id, &status);
    if (!body) return status;
    auto job = nlohmann::json::parse(*body, nullptr, false);
    if (!job.is_object()) {
        err_ << fmt::format(
            "vantrel-upload: the upload daemon's answer for job {} is not a JSON "
            "object\n",
            printableText(id));
        return ExitFailed;
    }
    if (json) {
        out_ << job.dump(2) << "\n";
        return ExitSucceeded;
    }
    auto activities = fetchActivities(*client_);
    const JobActivity* activity = nullptr;
    if (activities) {
        auto found = activities->find(id);
        if (found != activities->end()) activity = &found->second;
    }
    out_ << showText(JobSummary::fromJSON(job), activity);
    return ExitSucceeded;
}

int UploadCommands::watch(const std::vector<std::string>& ids, bool json, bool terminal,
                          std::chrono::milliseconds interval) {
    for (const std::string& id : ids) {
        if (std::string problem = problemWithJobID(id, false); !problem.empty()) {
            err_ << "vantrel-upload: " << problem << "\n";
            return ExitUsage;
        }
    }
    if (!connect()) return ExitDaemonNotRunning;
    JobWatcher::Output output = json       ? JobWatcher::Output::JSONLines
                                : terminal ? JobWatcher::Output::Bars
                                           : JobWatcher::Output::Lines;
    return JobWatcher(*client_, out_, err_, output, interval).run(ids);
}

int UploadCommands::changeState(const std::string& id, const std::string& state) {
    if (std::string problem = problemWithJobID(id, false); !problem.empty()) {
        err_ << "vantrel-upload: " << problem << "\n";
        return ExitUsage;
    }
    if (!connect()) return ExitDaemonNotRunning;
    // A PUT of an unknown id would try to create a job; ask first so the answer is "not found".
    int status = ExitSucceeded;
    if (!fetchJob(id, &status)) return status;
    nlohmann::json change = {{"state", state}};
    ControlClient::Reply reply = client_->send("PUT", "/jobs/" + id, change.dump());
    if (!reply.answered || reply.status != 200)
        return reportFailedReply(reply, *client_, "PUT /jobs/" + id, {}, err_);
    auto job = JobSummary::fromJSON(nlohmann::json::parse(reply.body, nullptr, false));
    out_ << fmt::format("{}  {}\n", printableText(id), printableText(job.state));
    return ExitSucceeded;
}

int UploadCommands::remove(const std::string& id) {
    if (std::string problem = problemWithJobID(id, false); !problem.empty()) {
        err_ << "vantrel-upload: " << problem << "\n";
        return ExitUsage;
    }
    if (!connect()) return ExitDaemonNotRunning;
    ControlClient::Reply reply = client_->send("DELETE", "/jobs/" + id);
    if (!reply.answered || reply.status != 200)
        return reportFailedReply(reply, *client_, "DELETE /jobs/" + id, id, err_);
    out_ << fmt::format("{}  removed\n", printableText(id));
    return ExitSucceeded;
}

int UploadCommands::status(bool json) {
    DaemonSearch search = locateDaemon(directory_, ::geteuid());
    location_ = search.location;
    std::string failure;
    int result = ExitSucceeded;
    if (!location_) {
        failure = search.problem;
        result = ExitDaemonNotRunning;
    } else {
        client_ = std::make_unique<ControlClient>(location_->port);
        ControlClient::Reply reply = client_->send("GET", "/");
        if (!reply.answered && reply.connectionRefused) {
            failure = fmt::format("nothing answers at port {}", location_->port);
            result = ExitDaemonNotRunning;
        } else if (!reply.answered || reply.status != 200) {
            failure = reply.answered
                          ? fmt::format("GET / answered HTTP {}", describeHTTPStatus(reply.status))
                          : reply.failure;
            result = reply.answered ? ExitRefused : ExitFailed;
        }
    }
    if (json) {
        nlohmann::json report = {{"running", result == ExitSucceeded},
                                 {"locator_directory", directory_}};
        if (location_) {
            report["port"] = location_->port;
            report["pid"] = location_->pid;
        }
        if (!failure.empty()) report["problem"] = failure;
        out_ << report.dump(2) << "\n";
    } else if (result == ExitSucceeded) {
        out_ << fmt::format("Upload daemon running: port {}, pid {} (locator files in {})\n",
                            location_->port, location_->pid, printableText(directory_));
    }
    if (result == ExitDaemonNotRunning)
        err_ << searchFailureMessage(failure, search.untrusted);
    else if (result != ExitSucceeded)
        err_ << fmt::format("vantrel-upload: the upload daemon does not answer as it should ({})\n",
                            printableText(failure));
    return result;
}

int UploadCommands::ui(bool open) {
    if (!connect()) return ExitDaemonNotRunning;
    // 127.0.0.1 rather than "localhost": the name may resolve to ::1, where nothing listens.
    std::string address = fmt::format("http://127.0.0.1:{}/ui", location_->port);
    out_ << address << "\n";
    if (!open) return ExitSucceeded;
    out_.flush();
    std::string program = "xdg-open";
    char* arguments[] = {program.data(), address.data(), nullptr};
    pid_t pid = 0;
    if (int failure = ::posix_spawnp(&pid, "xdg-open", nullptr, nullptr, arguments, environ)) {
        err_ << fmt::format("vantrel-upload: cannot run xdg-open ({})\n", std::strerror(failure));
        return ExitFailed;
    }
    int status = -1;  // a failed wait counts as a failed xdg-open
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return ExitSucceeded;
    err_ << "vantrel-upload: xdg-open could not open the address\n";
    return ExitFailed;
}

}  // namespace vtr::cli
