// The account tests play another user of the machine with: "nobody", available when the tests
// run as root and the account exists. Any thread.
#pragma once

#include <pwd.h>
#include <unistd.h>

#include <optional>
#include <string>

namespace vtr::test {

struct OtherUser {
    uid_t uid = 0;
    gid_t gid = 0;
};

// "nobody", or nothing with `why` saying what is missing (for GTEST_SKIP).
inline std::optional<OtherUser> nobodyUser(std::string* why) {
    if (::geteuid() != 0) {
        *why = "needs root to give files to another user";
        return std::nullopt;
    }
    struct passwd* entry = ::getpwnam("nobody");
    if (!entry || entry->pw_uid == 0) {
        *why = "needs the unprivileged account nobody";
        return std::nullopt;
    }
    return OtherUser{entry->pw_uid, entry->pw_gid};
}

}  // namespace vtr::test
