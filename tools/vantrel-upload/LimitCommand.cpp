// vantrel-upload limit [RATE|off]: shows or sets the daemon's upload bandwidth limit.
#include <ostream>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "foundation/VTRByteRate.h"
#include "foundation/VTRPrintableText.h"

#include "ExitStatus.h"
#include "UploadCommands.h"

namespace vtr::cli {

namespace {

std::string rateText(const nlohmann::json& value) {
    if (!value.is_number_unsigned()) return "?";
    uint64_t rate = value.get<uint64_t>();
    if (rate == 0) return "off";
    return fmt::format("{}/s ({} bytes per second)", formatByteRate(rate), rate);
}

// The lines `limit` prints for a GET /settings document: the limit in force ("off" for 0) and
// the schedule's entries, if any.
std::string describeUploadLimit(const nlohmann::json& settings) {
    std::string text = fmt::format("upload limit: {}\n",
                                   rateText(settings.value("upload_limit", nlohmann::json())));
    auto schedule = settings.find("upload_limit_schedule");
    if (schedule == settings.end() || !schedule->is_array()) return text;
    text += "schedule (local time):\n";
    for (const nlohmann::json& entry : *schedule) {
        text += fmt::format("  {}  {}\n", printableText(entry.value("at", std::string("?"))),
                            rateText(entry.value("limit", nlohmann::json())));
    }
    return text;
}

}  // namespace

int UploadCommands::limit(const std::optional<std::string>& rate) {
    std::optional<uint64_t> newLimit;
    if (rate) {
        newLimit = *rate == "off" ? std::optional<uint64_t>(0) : parseByteRate(*rate);
        if (!newLimit) {
            err_ << fmt::format(
                "vantrel-upload: {} is not a rate: give bytes per second, optionally with K, "
                "M or G (powers of 1024), or \"off\"\n",
                printableText(*rate));
            return ExitUsage;
        }
    }
    if (!connect()) return ExitDaemonNotRunning;
    const char* method = newLimit ? "PUT" : "GET";
    std::string request = fmt::format("{} /settings", method);
    ControlClient::Reply reply = client_->send(
        method, "/settings", newLimit ? nlohmann::json{{"upload_limit", *newLimit}}.dump() : "");
    nlohmann::json settings = nlohmann::json::parse(reply.body, nullptr, false);
    if (!reply.answered || reply.status != 200) {
        int result = reportFailedReply(reply, *client_, request, {}, err_);
        if (reply.answered && settings.is_object() && settings.contains("error"))
            err_ << fmt::format("vantrel-upload: {}\n", printableText(settings["error"].dump()));
        return result;
    }
    if (!settings.is_object()) {
        err_ << fmt::format("vantrel-upload: {} answered something that is not JSON\n", request);
        return ExitFailed;
    }
    out_ << describeUploadLimit(settings);
    return ExitSucceeded;
}

}  // namespace vtr::cli
