// Job states and error states, and the conversions between their integer codes and the
// lower-case strings of the job's JSON form. Stateless; callable from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vtr {

using VTRUploadJobState = int32_t;
enum : VTRUploadJobState {
    VTRUploadJobStateUnknown = -1,
    VTRUploadJobStatePaused = 0,
    VTRUploadJobStateRetry = 1,
    VTRUploadJobStateRestart = 2,
    VTRUploadJobStateRunning = 3,
    VTRUploadJobStateCompleted = 4,
    VTRUploadJobStateErrored = 5,
};

using VTRUploadErrorState = int32_t;
enum : VTRUploadErrorState {
    VTRUploadErrorStateNone = -1,
    VTRUploadErrorStateInit = 0,
    VTRUploadErrorStateUpload = 1,
    VTRUploadErrorStateClose = 2,
    VTRUploadErrorStateVerify = 3,
};

class VTRUploadDaemonConstants {
  public:
    VTRUploadDaemonConstants() = delete;

    // "paused" ... "errored"; every value outside 0..5 is "unknown".
    static std::string stringForJobState(VTRUploadJobState state);
    // Case-insensitive, untrimmed; no match, "unknown" and nullopt (a null string) give -1.
    static VTRUploadJobState jobStateForString(std::optional<std::string_view> string);
    // "none" for -1, "init", "upload", "close", "verify" for 0..3, else "unknown".
    static std::string stringForErrorState(VTRUploadErrorState state);
    // Case-insensitive; anything but "init", "upload", "close", "verify" gives -1.
    static VTRUploadErrorState errorStateForString(std::optional<std::string_view> string);
};

}  // namespace vtr
