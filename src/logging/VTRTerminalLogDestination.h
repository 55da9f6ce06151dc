// VTRTerminalLogDestination: echoes log lines to standard error for someone watching the daemon
// in a terminal. Whether the descriptor is a terminal is decided once, at creation; when it is
// not, the destination writes nothing. Called by the facade's consumer thread only.
#pragma once

#include <string>

#include "logging/VTRLog.h"

namespace vtr {

class VTRTerminalLogDestination : public VTRLogDestination {
  public:
    // `fd` defaults to standard error; `processName` to the executable's file name.
    explicit VTRTerminalLogDestination(int fd = 2, std::string processName = {});

    void logMessage(const VTRLogMessage& message) override;
    bool isWriting() const { return isTerminal_; }

  private:
    int fd_;
    bool isTerminal_;
    std::string processName_;
};

}  // namespace vtr
