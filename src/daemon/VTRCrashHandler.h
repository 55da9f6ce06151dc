// Crash handling for the daemon process. SIGABRT, SIGILL, SIGBUS and SIGTERM are caught; what
// must follow (the log line, removing the locator files, exiting with the signal's number) is
// not safe inside a signal handler, so the handler only passes the number to a thread that
// waits for it and does the work in that order. An uncaught exception is logged by a terminate
// handler and then aborts, which ends the process with 6. install() once, from the main thread.
#pragma once

#include <functional>

namespace vtr {

class VTRCrashHandler {
  public:
    // `beforeExit` runs on the signal thread after the log line and before the exit; the daemon
    // removes its locator files there. It must be safe to call from that thread.
    static void install(std::function<void()> beforeExit);
};

// The terminate handler: logs "EXCEPTION RAISED", the exception's type and text, and a
// backtrace, then aborts.
[[noreturn]] void HandleException();

// The work done for a caught signal, on the signal thread: log, `beforeExit`, exit(signal).
[[noreturn]] void HandleSignal(int signalNumber);

}  // namespace vtr
