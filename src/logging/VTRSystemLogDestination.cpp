#include "logging/VTRSystemLogDestination.h"

#include <syslog.h>

#include <cerrno>

namespace vtr {

int systemLogPriorityForLevel(uint32_t level) {
    switch (level) {
        case 1:
            return LOG_CRIT;
        case 2:
            return LOG_ERR;
        case 3:
            return LOG_WARNING;
        default:
            return LOG_NOTICE;
    }
}

VTRSystemLogDestination::VTRSystemLogDestination(std::string ident)
    : ident_(ident.empty() ? program_invocation_short_name : std::move(ident)) {
    ::openlog(ident_.c_str(), 0, LOG_USER);
}

// closelog() also drops syslog's pointer to our ident, which is about to be freed.
VTRSystemLogDestination::~VTRSystemLogDestination() {
    ::closelog();
}

void VTRSystemLogDestination::logMessage(const VTRLogMessage& message) {
    ::syslog(systemLogPriorityForLevel(message.level), "%s", message.text.c_str());
}

}  // namespace vtr
