#include "jobs/VTRUploadDaemonConstants.h"

#include <array>
#include <utility>

namespace vtr {

namespace {

std::string lowercased(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return lower;
}

// Looked up in this order; the first exact match wins.
constexpr std::array<std::pair<const char*, VTRUploadJobState>, 6> kJobStateNames{{
    {"paused", VTRUploadJobStatePaused},
    {"restart", VTRUploadJobStateRestart},
    {"retry", VTRUploadJobStateRetry},
    {"running", VTRUploadJobStateRunning},
    {"completed", VTRUploadJobStateCompleted},
    {"errored", VTRUploadJobStateErrored},
}};

constexpr std::array<std::pair<const char*, VTRUploadErrorState>, 4> kErrorStateNames{{
    {"close", VTRUploadErrorStateClose},
    {"init", VTRUploadErrorStateInit},
    {"upload", VTRUploadErrorStateUpload},
    {"verify", VTRUploadErrorStateVerify},
}};

}  // namespace

std::string VTRUploadDaemonConstants::stringForJobState(VTRUploadJobState state) {
    switch (state) {
        case VTRUploadJobStatePaused:
            return "paused";
        case VTRUploadJobStateRetry:
            return "retry";
        case VTRUploadJobStateRestart:
            return "restart";
        case VTRUploadJobStateRunning:
            return "running";
        case VTRUploadJobStateCompleted:
            return "completed";
        case VTRUploadJobStateErrored:
            return "errored";
        default:
            return "unknown";
    }
}

VTRUploadJobState VTRUploadDaemonConstants::jobStateForString(
    std::optional<std::string_view> string) {
    if (!string) return VTRUploadJobStateUnknown;
    std::string lower = lowercased(*string);
    for (const auto& [name, state] : kJobStateNames) {
        if (lower == name) return state;
    }
    return VTRUploadJobStateUnknown;
}

std::string VTRUploadDaemonConstants::stringForErrorState(VTRUploadErrorState state) {
    switch (state) {
        case VTRUploadErrorStateNone:
            return "none";
        case VTRUploadErrorStateInit:
            return "init";
        case VTRUploadErrorStateUpload:
            return "upload";
        case VTRUploadErrorStateClose:
            return "close";
        case VTRUploadErrorStateVerify:
            return "verify";
        default:
            return "unknown";
    }
}

VTRUploadErrorState VTRUploadDaemonConstants::errorStateForString(
    std::optional<std::string_view> string) {
    if (!string) return VTRUploadErrorStateNone;
    std::string lower = lowercased(*string);
    for (const auto& [name, state] : kErrorStateNames) {
        if (lower == name) return state;
    }
    return VTRUploadErrorStateNone;
}

}  // namespace vtr
