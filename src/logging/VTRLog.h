// The logging facade. Every component logs through it: messages go, in the order issued, to the
// attached destinations on the facade's own consumer thread. Error-flag messages are delivered
// synchronously (the caller returns once every destination has taken them). At most 1000
// messages wait at a time; a caller issuing one more waits for room. While no destination is
// attached, messages are dropped. All functions may be called from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include <fmt/format.h>

namespace vtr {

enum VTRLogFlag : uint32_t {
    VTRLogFlagError = 1,
    VTRLogFlagWarning = 2,
    VTRLogFlagInfo = 4,
    VTRLogFlagVerbose = 8,
};

// The daemon's own level word: a message with flag F is issued only when ddLogLevel has bit F.
extern std::atomic<uint32_t> ddLogLevel;

// The embedded HTTP server's fixed level words and its context number.
inline constexpr uint32_t VTRHTTPServerLogLevel = 7;
inline constexpr uint32_t VTRHTTPConnectionLogLevel = 3;
inline constexpr int VTRHTTPLogContext = 80;

struct VTRLogMessage {
    std::string text;
    std::chrono::system_clock::time_point timestamp;
    uint32_t level = 0;  // the level word in force at the call site
    uint32_t flag = 0;
    int context = 0;
    std::string file;
    std::string function;
    int line = 0;
    uint64_t threadID = 0;  // the calling thread's kernel id
};

// A place messages go to. logMessage() is called only on the facade's consumer thread (or, for
// synchronous messages, with the facade's delivery lock held), one message at a time.
class VTRLogDestination {
  public:
    virtual ~VTRLogDestination() = default;
    virtual void logMessage(const VTRLogMessage& message) = 0;
    virtual void flush() {}
};

class VTRLog {
  public:
    static void addDestination(std::shared_ptr<VTRLogDestination> destination);
    static void removeDestination(const std::shared_ptr<VTRLogDestination>& destination);
    static void removeAllDestinations();

    // The single entry point. The message is built by the caller; see the VTRLog* helpers below.
    // Its text is stored with any URL's user-info removed and control characters escaped
    // (printableText), so each message is one line whatever it quotes.
    static void log(bool synchronous, uint32_t level, uint32_t flag, int context, const char* file,
                    const char* function, int line, std::string text);

    // Waits until every message issued so far has reached every destination, then flushes them.
    static void flush();

    // Messages issued but not yet handed to the destinations (at most 1000).
    static size_t pendingMessageCount();
    // Callers currently waiting for room in the full queue.
    static size_t waitingCallerCount();
};

// The console log: standard error and the system log, whatever the level word. Used by the
// option parser, the locator, the retry controller and the API's body parser. The text is made
// safe as VTRLog::log() makes it. When standard error is the journal, the line carries the
// journal's notice prefix and the system log is left out.
void VTRConsoleLogText(const std::string& text);

}  // namespace vtr

// The daemon's own messages: issued only when ddLogLevel has the flag's bit.
#define VTR_LOG_AT(flag, sync, ...)                                                        \
    do {                                                                                   \
        uint32_t vtrLevel_ = ::vtr::ddLogLevel.load(std::memory_order_relaxed);            \
        if (vtrLevel_ & (flag))                                                            \
            ::vtr::VTRLog::log((sync), vtrLevel_, (flag), 0, __FILE__, __func__, __LINE__, \
                               fmt::format(__VA_ARGS__));                                  \
    } while (0)
#define VTRLogError(...) VTR_LOG_AT(::vtr::VTRLogFlagError, true, __VA_ARGS__)
#define VTRLogWarn(...) VTR_LOG_AT(::vtr::VTRLogFlagWarning, false, __VA_ARGS__)
#define VTRLogInfo(...) VTR_LOG_AT(::vtr::VTRLogFlagInfo, false, __VA_ARGS__)
#define VTRLogVerbose(...) VTR_LOG_AT(::vtr::VTRLogFlagVerbose, false, __VA_ARGS__)

// The embedded server's messages, at a fixed level word and context 80, whatever ddLogLevel.
#define VTR_HTTP_LOG_AT(levelWord, flag, ...)                                          \
    do {                                                                               \
        if ((levelWord) & (flag))                                                      \
            ::vtr::VTRLog::log((flag) == ::vtr::VTRLogFlagError, (levelWord), (flag),  \
                               ::vtr::VTRHTTPLogContext, __FILE__, __func__, __LINE__, \
                               fmt::format(__VA_ARGS__));                              \
    } while (0)

// The console log with a format.
#define VTRConsoleLog(...) ::vtr::VTRConsoleLogText(fmt::format(__VA_ARGS__))
