// vantrel-upload: the command-line client of the upload daemon. Finds the daemon through its
// locator files and speaks its control API on 127.0.0.1.
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <optional>

#include <curl/curl.h>
#include <CLI/CLI.hpp>

#include "DaemonLocation.h"
#include "ExitStatus.h"
#include "UploadCommands.h"

using namespace vtr::cli;

namespace {

bool standardOutputIsTerminal() {
    const char* term = std::getenv("TERM");
    return ::isatty(STDOUT_FILENO) == 1 && !(term && std::string(term) == "dumb");
}

bool displayIsPresent() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* value = std::getenv(name);
        if (value && *value) return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Hands upload jobs to the vantrel upload daemon and follows them.",
                 "vantrel-upload"};
    app.require_subcommand(1);
    app.fallthrough();  // so that "-p DIR" may also follow the command
    std::string directory = DefaultLocatorDirectory;
    app.add_option("-p", directory, "Directory of the daemon's locator files")
        ->type_name("DIR")
        ->capture_default_str();
    app.footer(
        "Exit statuses: 0 success; 1 failure (a watched job errored or stalled, no usable "
        "answer); 2 bad command line or input; 3 the daemon is not running (or the locator "
        "files name one not to be trusted); 4 no such job; "
        "5 the daemon refused the request (its HTTP status is printed).");

    AddRequest addRequest;
    CLI::App* add = app.add_subcommand(
        "add", "Add a job for the given files and print its id. FILE=NAME uploads FILE as NAME");
    add->add_option("files", addRequest.files, "FILE or FILE=REMOTE_NAME")->required();
    add->add_option("--server", addRequest.serverURL,
                    "URL of the recording service's upload "
                    "service")
        ->required();
    add->add_option("--session", addRequest.sessionID, "Session id on the recording service")
        ->required();
    add->add_option("--id", addRequest.jobID, "Job id (default: a new UUID)");
    add->add_flag("--paused", addRequest.paused, "Add the job paused instead of running");

    bool json = false;
    CLI::App* list = app.add_subcommand("list", "One line per job: state, progress, files, error");
    list->add_flag("--json", json, "Print the jobs as JSON");

    std::string id;
    CLI::App* show = app.add_subcommand("show", "Show one job");
    show->add_option("id", id, "Job id")->required();
    show->add_flag("--json", json, "Print the job as JSON");

    std::vector<std::string> watchIDs;
    double interval = 1.0;
    CLI::App* watch = app.add_subcommand(
        "watch", "Follow jobs (all by default) until each has completed or errored");
    watch->add_option("ids", watchIDs, "Job ids");
    watch->add_flag("--json", json, "Print each change of a job as one line of JSON");
    watch->add_option("--interval", interval, "Seconds between two looks at the jobs")
        ->capture_default_str()
        ->check(CLI::Range(0.01, 3600.0));

    CLI::App* pause = app.add_subcommand("pause", "Pause a job");
    CLI::App* resume = app.add_subcommand("resume", "Resume a paused job");
    CLI::App* restart = app.add_subcommand("restart", "Upload a job's files again from the start");
    CLI::App* remove = app.add_subcommand("remove", "Remove a job, stopping its upload");
    for (CLI::App* command : {pause, resume, restart, remove})
        command->add_option("id", id, "Job id")->required();

    CLI::App* status = app.add_subcommand("status", "Whether the daemon runs, its port and pid");
    status->add_flag("--json", json, "Print the answer as JSON");

    CLI::App* ui = app.add_subcommand(
        "ui", "Print the address of the status page; open it when a display is present");
    std::string rate;
    CLI::App* limit = app.add_subcommand(
        "limit", "Show the upload limit, or set it for all uploads together ('off': no limit)");
    CLI::Option* rateOption = limit->add_option(
        "rate", rate, "Bytes per second, with K, M or G (powers of 1024), or off");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        return app.exit(error) == 0 ? ExitSucceeded : ExitUsage;
    }

    curl_global_init(CURL_GLOBAL_DEFAULT);
    int result = ExitUsage;
    {
        UploadCommands commands(directory, std::cout, std::cerr);
        if (add->parsed())
            result = commands.add(addRequest);
        else if (list->parsed())
            result = commands.list(json);
        else if (show->parsed())
            result = commands.show(id, json);
        else if (watch->parsed())
            result = commands.watch(watchIDs, json, standardOutputIsTerminal(),
                                    std::chrono::milliseconds(std::llround(interval * 1000)));
        else if (pause->parsed())
            result = commands.changeState(id, "paused");
        else if (resume->parsed())
            result = commands.changeState(id, "running");
        else if (restart->parsed())
            result = commands.changeState(id, "restart");
        else if (remove->parsed())
            result = commands.remove(id);
        else if (status->parsed())
            result = commands.status(json);
        else if (ui->parsed())
            result = commands.ui(displayIsPresent());
        else if (limit->parsed())
            result = commands.limit(rateOption->count() ? std::optional(rate) : std::nullopt);
    }
    std::cout.flush();
    curl_global_cleanup();
    return result;
}
