// VTRFileLogDestination: writes log lines into rotating "log-XXXXXX.txt" files in one directory.
// A file is continued across restarts until it is full or a day old, then marked archived; only
// the newest five archived files are kept. Only a plain file the daemon's user owns, with no
// other link, is continued; links are never taken for log files. Called by the logging facade's
// consumer thread only (or by one test thread), so it keeps no lock.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "logging/VTRFileDescriptor.h"
#include "logging/VTRLog.h"

namespace vtr {

struct VTRFileLogSettings {
    std::string directory = "/var/log/vantrel";
    uint64_t maximumFileSize = 10485760;
    std::chrono::seconds rollingFrequency{86400};
    size_t maximumNumberOfArchivedFiles = 5;
};

// The extended attribute that marks a finished file. File systems that refuse user attributes
// get the mark in the name instead: "log-ABCDEF.txt" becomes "log-ABCDEF.archived.txt", which
// still counts as a log file and is recognised as archived.
inline constexpr const char* VTRLogArchivedAttribute = "user.lumberjack.log.archived";
inline constexpr std::string_view VTRLogArchivedNameMark = ".archived";

struct VTRLogFileInfo {
    std::string path;
    std::chrono::system_clock::time_point creationDate;
    uint64_t size = 0;
    bool archived = false;
};

// "log-" followed by six upper-case hexadecimal digits, at least 10 characters in all.
bool isLogFileName(std::string_view name);
bool isLogFileArchived(const std::string& path);
// Marks the file archived; returns its path afterwards (changed when the name carries the mark).
std::string markLogFileArchived(const std::string& path);
// The log files of `directory`, newest first by creation date.
std::vector<VTRLogFileInfo> sortedLogFiles(const std::string& directory);

class VTRFileLogDestination : public VTRLogDestination {
  public:
    explicit VTRFileLogDestination(VTRFileLogSettings settings = {});
    VTRFileLogDestination(const VTRFileLogDestination&) = delete;
    VTRFileLogDestination& operator=(const VTRFileLogDestination&) = delete;

    void logMessage(const VTRLogMessage& message) override;

    // The file being written; empty while none is open.
    const std::string& currentFilePath() const { return currentPath_; }
    const VTRFileLogSettings& settings() const { return settings_; }

  private:
    bool ensureCurrentFile(std::chrono::system_clock::time_point now);
    bool continueNewestFile(std::chrono::system_clock::time_point now);
    bool createNewFile();
    bool ensureDirectory();
    void archiveCurrentFile();
    void deleteOldArchivedFiles();
    std::string newFilePath() const;

    VTRFileLogSettings settings_;
    bool started_ = false;
    bool reportedDirectoryFailure_ = false;
    VTRFileDescriptor file_;
    std::string currentPath_;
    uint64_t currentSize_ = 0;
    std::chrono::system_clock::time_point currentCreationDate_;
};

}  // namespace vtr
