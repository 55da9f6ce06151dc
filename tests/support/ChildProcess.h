// ChildProcess: an executable run by a test, its standard output and error collected by a reader
// thread while it runs, so that the test can wait for a text or for the end with a deadline.
// Killed (SIGKILL) and reaped on destruction if it still runs, so no test leaves a process
// behind. Use from one test thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace vtr::test {

class ChildProcess {
  public:
    // Which stream is a pseudo-terminal (`columns` wide, without output processing, so what
    // the program writes arrives unchanged); the others are pipes.
    enum class Terminal { None, Output, Errors };

    // `command` is the executable (searched in PATH when it has no slash) and its arguments,
    // run in the test's environment (put env(1) in front to change it). Standard input is
    // /dev/null. The process gets a process group of its own, so a terminal's signals meant
    // for the test runner miss it.
    explicit ChildProcess(std::vector<std::string> command, Terminal terminal = Terminal::None,
                          unsigned short columns = 80);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    // Everything read so far from standard output and from standard error.
    std::string output() const;
    std::string errors() const;
    bool waitForOutput(const std::string& text,
                       std::chrono::milliseconds timeout = std::chrono::seconds(30));
    bool waitForErrors(const std::string& text,
                       std::chrono::milliseconds timeout = std::chrono::seconds(30));
    // True (and reaped) once the process has ended.
    bool hasExited();
    // The exit status once the process has ended within `timeout` and all its output has been
    // read; 128 + the signal number when a signal ended it; nothing otherwise.
    std::optional<int> waitForExit(std::chrono::milliseconds timeout = std::chrono::seconds(30));
    // Sends `signal` unless the process has ended, then waits as waitForExit does.
    std::optional<int> stop(int signal,
                            std::chrono::milliseconds timeout = std::chrono::seconds(30));

  private:
    void readUntilClosed();
    bool waitFor(const std::string& text, const std::string& stream,
                 std::chrono::milliseconds timeout);

    pid_t pid_ = -1;
    std::optional<int> status_;
    int output_ = -1;
    int errors_ = -1;
    int wake_[2] = {-1, -1};  // written on destruction, so the reader never outlives us
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::string outputText_;
    std::string errorText_;
    bool drained_ = false;
    std::thread reader_;
};

// What a command run to its end left: its exit status (-1 when it overran its deadline and was
// killed) and everything it wrote.
struct CommandResult {
    int status = -1;
    std::string out;
    std::string err;
};
CommandResult finish(ChildProcess& command,
                     std::chrono::milliseconds timeout = std::chrono::seconds(120));
CommandResult runCommand(std::vector<std::string> command,
                         std::chrono::milliseconds timeout = std::chrono::seconds(120));

// The id of a process that has certainly ended: a child that has been waited for.
pid_t endedProcessID();

// Whether this process may make network namespaces (unshare(CLONE_NEWNET) in a child).
bool canMakeNetworkNamespaces();

}  // namespace vtr::test
