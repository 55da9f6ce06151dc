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
}

TEST(UploadDaemonConstants, JobStateLookupIgnoresLetterCase) {
    EXPECT_EQ(C::jobStateForString("PaUsEd"), VTRUploadJobStatePaused);
    EXPECT_EQ(C::jobStateForString("RUNNING"), VTRUploadJobStateRunning);
    EXPECT_EQ(C::jobStateForString("Errored"), VTRUploadJobStateErrored);
}

TEST(UploadDaemonConstants, ErrorStates) {
    EXPECT_EQ(C::stringForErrorState(-1), "none");
    EXPECT_EQ(C::stringForErrorState(0), "init");
    EXPECT_EQ(C::stringForErrorState(1), "upload");
    EXPECT_EQ(C::stringForErrorState(2), "close");
    EXPECT_EQ(C::stringForErrorState(3), "verify");
    EXPECT_EQ(C::stringForErrorState(4), "unknown");
    EXPECT_EQ(C::stringForErrorState(-2), "unknown");

    EXPECT_EQ(C::errorStateForString("close"), 2);
    EXPECT_EQ(C::errorStateForString("init"), 0);
    EXPECT_EQ(C::errorStateForString("upload"), 1);
    EXPECT_EQ(C::errorStateForString("Verify"), 3);
    for (const char* other : {"none", "unknown", "", " close"})
        EXPECT_EQ(C::errorStateForString(other), VTRUploadErrorStateNone) << other;
    EXPECT_EQ(C::errorStateForString(std::nullopt), VTRUploadErrorStateNone);
}

}  // namespace
}  // namespace vtr
