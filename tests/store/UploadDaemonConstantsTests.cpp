#include <gtest/gtest.h>

#include "jobs/VTRUploadDaemonConstants.h"

namespace vtr {
namespace {

using C = VTRUploadDaemonConstants;

TEST(UploadDaemonConstants, JobStateNamesRoundTripAndEverythingElseIsUnknown) {
    const char* names[] = {"paused", "retry", "restart", "running", "completed", "errored"};
    for (int code = 0; code <= 5; ++code) {
        EXPECT_EQ(C::stringForJobState(code), names[code]);
        EXPECT_EQ(C::jobStateForString(names[code]), code);
    }
    for (int code : {-1, 6, 100, -2}) EXPECT_EQ(C::stringForJobState(code), "unknown");
    for (const char* other : {"unknown", "", " running", "running ", "run", "pause"}) {
        EXPECT_EQ(C::jobStateForString(other), VTRUploadJobStateUnknown) << other;
        EXPECT_EQ(C::stringForJobState(C::jobStateForString(other)), "unknown");
    }
    EXPECT_EQ(C::jobStateForString(std::nullopt), VTRUploadJobStateUnknown);
    // Letter case does not matter.
    EXPECT_EQ(C::jobStateForString("PaUsEd"), VTRUploadJobStatePaused);
    EXPECT_EQ(C::jobStateForString("RUNNING"), VTRUploadJobStateRunning);
}

TEST(UploadDaemonConstants, ErrorStates) {
    const char* names[] = {"init", "upload", "close", "verify"};
    for (int code = 0; code <= 3; ++code) {
        EXPECT_EQ(C::stringForErrorState(code), names[code]);
        EXPECT_EQ(C::errorStateForString(names[code]), code);
    }
    EXPECT_EQ(C::stringForErrorState(-1), "none");
    for (int code : {4, -2}) EXPECT_EQ(C::stringForErrorState(code), "unknown");
    EXPECT_EQ(C::errorStateForString("Verify"), VTRUploadErrorStateVerify);
    for (const char* other : {"none", "unknown", "", " close"})
        EXPECT_EQ(C::errorStateForString(other), VTRUploadErrorStateNone) << other;
    EXPECT_EQ(C::errorStateForString(std::nullopt), VTRUploadErrorStateNone);
}

}  // namespace
}  // namespace vtr
