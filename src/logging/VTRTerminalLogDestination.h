// VTRTerminalLogDestination: echoes log lines to standard error, either for someone watching the
// daemon in a terminal or, when systemd connected standard error to the journal, as journal
// lines with a priority prefix. In terminal format, whether the descriptor is a terminal is
// decided once, at creation; when it is not, the destination writes nothing. Called by the
// facade's consumer thread only.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "logging/VTRLog.h"

namespace vtr {

// JOURNAL_STREAM from the environment ("DEVICE:INODE"), empty when it is not set.
std::string journalStreamVariable();
// Whether `fd` is the journal's stream: `journalStream` ("DEVICE:INODE", decimal, as systemd
// sets JOURNAL_STREAM) names the device and inode of what `fd` is open on. A redirected
// standard error no longer matches, so its lines carry no prefix meant for the journal.
bool isJournalStream(int fd, std::string_view journalStream);
// The journal priority of a message flag: error 3, warning 4, info 6, verbose 7, other 5.
int journalPriorityForFlag(uint32_t flag);

class VTRTerminalLogDestination : public VTRLogDestination {
  public:
    // Terminal: "time process[pid:thread] text". Journal: "<priority>text"; the journal adds
    // time, process and pid itself.
    enum class Format { Terminal, Journal };

    // `fd` defaults to standard error; `processName` to the executable's file name.
    explicit VTRTerminalLogDestination(int fd = 2, std::string processName = {},
                                       Format format = Format::Terminal);

    void logMessage(const VTRLogMessage& message) override;
    bool isWriting() const { return isWriting_; }

  private:
    int fd_;
    Format format_;
    bool isWriting_;
    std::string processName_;
};

}  // namespace vtr
