#include "daemon/VTRCrashHandler.h"

#include <cxxabi.h>
#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <thread>

#include "logging/VTRLog.h"

namespace vtr {

namespace {

// Set once by install(), before any handler can run; read-only afterwards.
std::function<void()>* beforeExitWork = nullptr;
int signalPipe[2] = {-1, -1};
std::atomic<pid_t> signalThreadID{0};

void onSignal(int signalNumber) {
    // Should the signal thread itself fault, nobody is left to do the work: leave at once.
    if (static_cast<pid_t>(::syscall(SYS_gettid)) == signalThreadID.load()) ::_exit(signalNumber);
    int savedErrno = errno;
    [[maybe_unused]] ssize_t ignored = ::write(signalPipe[1], &signalNumber, sizeof signalNumber);
    errno = savedErrno;
    if (signalNumber == SIGTERM) return;
    // A fault would recur and abort() would kill the process at once if this returned, so the
    // thread waits here until the signal thread ends the process.
    for (;;) ::pause();
}

void waitForSignals() {
    signalThreadID.store(static_cast<pid_t>(::syscall(SYS_gettid)));
    for (;;) {
        int signalNumber = 0;
        ssize_t got = ::read(signalPipe[0], &signalNumber, sizeof signalNumber);
        if (got == sizeof signalNumber) HandleSignal(signalNumber);
        if (got < 0 && errno != EINTR) return;
    }
}

std::string demangle(const char* name) {
    int status = 0;
    std::unique_ptr<char, decltype(&std::free)> readable(
        abi::__cxa_demangle(name, nullptr, nullptr, &status), &std::free);
    return status == 0 && readable ? std::string(readable.get()) : std::string(name);
}

// One message per frame: a message is one line in every log.
void logBacktrace() {
    void* frames[128];
    int count = ::backtrace(frames, 128);
    std::unique_ptr<char*, decltype(&std::free)> symbols(::backtrace_symbols(frames, count),
                                                         &std::free);
    VTRLogError("BACKTRACE:");
    for (int i = 0; symbols && i < count; ++i) VTRLogError("{}", symbols.get()[i]);
}

}  // namespace

void VTRCrashHandler::install(std::function<void()> beforeExit) {
    if (beforeExitWork) return;                                         // once per process
    beforeExitWork = new std::function<void()>(std::move(beforeExit));  // lives until exit
    if (::pipe2(signalPipe, O_CLOEXEC) != 0) {
        VTRLogError("Unable to install signal handling: {}", std::strerror(errno));
        return;
    }

    // The signal thread blocks every signal, so a signal sent to the process never lands on
    // the one thread that must stay free to handle it.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    std::thread(waitForSignals).detach();
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);

    std::set_terminate(HandleException);
    for (int signalNumber : {SIGABRT, SIGILL, SIGBUS, SIGTERM}) {
        struct sigaction action {};
        action.sa_handler = onSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;
        ::sigaction(signalNumber, &action, nullptr);
    }
}

void HandleException() {
    std::string name = "(null)";
    std::string reason = "(null)";
    if (std::exception_ptr exception = std::current_exception()) {
        if (const std::type_info* type = abi::__cxa_current_exception_type())
            name = demangle(type->name());
        try {
            std::rethrow_exception(exception);
        } catch (const std::exception& e) {
            reason = e.what();
        } catch (...) {
        }
    }
    VTRLogError("EXCEPTION RAISED");
    VTRLogError("name={} reason={} userInfo={}", name, reason, "(null)");
    logBacktrace();
    std::abort();
}

void HandleSignal(int signalNumber) {
    VTRLogError("SIGNAL RECEIVED: {}", signalNumber);
    if (beforeExitWork && *beforeExitWork) (*beforeExitWork)();
    VTRLog::flush();
    std::fflush(nullptr);
    // _exit rather than exit: static destructors would pull the run loop and the queues out
    // from under threads that are still running. Buffers are flushed just above.
    ::_exit(signalNumber);
}

}  // namespace vtr
