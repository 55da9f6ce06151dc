#include "logging/VTRLoggingSetup.h"

#include <algorithm>
#include <memory>

#include "logging/VTRSystemLogDestination.h"

namespace vtr {

std::optional<uint32_t> logLevelForWord(std::string_view word) {
    if (word == "verbose") return 15;
    if (word == "info") return 7;
    if (word == "warn") return 3;
    if (word == "error") return 1;
    if (word == "none") return 0;
    return std::nullopt;
}

bool configureLogging(const std::vector<std::string>& arguments,
                      const VTRFileLogSettings& fileSettings, VTRLogOutputs outputs) {
    auto levelOption = std::find(arguments.begin(), arguments.end(), "-l");
    std::optional<std::string> levelWord;
    if (levelOption != arguments.end()) {
        if (std::next(levelOption) == arguments.end()) {
            VTRConsoleLog(
                "Specifying a log level with -l requires a subsequent argument of "
                "[verbose|info|warn|error|none]");
            return false;
        }
        levelWord = *std::next(levelOption);
        std::optional<uint32_t> level = logLevelForWord(*levelWord);
        if (!level) {
            VTRConsoleLog("Unrecognized parameter to log level: {}", *levelWord);
            return false;
        }
        ddLogLevel.store(*level);
    }

    if (isJournalStream(outputs.standardError, outputs.journalStream)) {
        VTRLog::addDestination(std::make_shared<VTRTerminalLogDestination>(
            outputs.standardError, "", VTRTerminalLogDestination::Format::Journal));
    } else {
        if (std::find(arguments.begin(), arguments.end(), "-o") != arguments.end())
            VTRLog::addDestination(
                std::make_shared<VTRTerminalLogDestination>(outputs.standardError));
        VTRLog::addDestination(outputs.makeSystemLog ? outputs.makeSystemLog()
                                                     : std::make_shared<VTRSystemLogDestination>());
    }
    VTRLog::addDestination(std::make_shared<VTRFileLogDestination>(fileSettings));

    VTRLogError("Setting log level to '{}'", levelWord.value_or("(null)"));
    return true;
}

}  // namespace vtr
