// VTRSystemLogDestination: hands each message's text to syslog(3) under the process's name,
// with a priority chosen from the message's level word. Called by the facade's consumer thread.
#pragma once

#include <string>

#include "logging/VTRLog.h"

namespace vtr {

// Level word 1 -> LOG_CRIT, 2 -> LOG_ERR, 3 -> LOG_WARNING, anything else -> LOG_NOTICE.
int systemLogPriorityForLevel(uint32_t level);

class VTRSystemLogDestination : public VTRLogDestination {
  public:
    // Opens the system log with `ident` (default: the executable's file name).
    explicit VTRSystemLogDestination(std::string ident = {});
    ~VTRSystemLogDestination() override;
    VTRSystemLogDestination(const VTRSystemLogDestination&) = delete;
    VTRSystemLogDestination& operator=(const VTRSystemLogDestination&) = delete;

    void logMessage(const VTRLogMessage& message) override;

  private:
    std::string ident_;  // syslog keeps the pointer, so the text lives as long as this object
};

}  // namespace vtr
