// Runs the built daemon executable as a child process for tests: its own environment (HOME,
// XDG_DATA_HOME), standard output on a pipe and standard error on a pseudo-terminal, so that
// "-o" shows the daemon's log lines. Output is collected by a reader thread. Use from one test
// thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace vtr::test {

class DaemonProcess {
  public:
    // `command` is the executable and its arguments (argv[0] first); `environment` overrides
    // or adds variables.
    DaemonProcess(std::vector<std::string> command, std::map<std::string, std::string> environment);
    // Kills the process if it still runs.
    ~DaemonProcess();
    DaemonProcess(const DaemonProcess&) = delete;
    DaemonProcess& operator=(const DaemonProcess&) = delete;

    pid_t pid() const { return pid_; }
    // The exit status once it has exited within `timeout` and all its output has been read;
    // nothing otherwise. A process ended by a signal yields 128 + the signal number.
    std::optional<int> waitForExit(std::chrono::milliseconds timeout = std::chrono::seconds(30));
    bool hasExited();
    // True once the terminal output holds `text`.
    bool waitForTerminalText(const std::string& text,
                             std::chrono::milliseconds timeout = std::chrono::seconds(30));
    // Terminal output with the terminal's CR LF turned back into LF.
    std::string terminalOutput();
    std::string standardOutput();

  private:
    void collect(int fd, std::string& into);

    pid_t pid_ = -1;
    std::optional<int> status_;
    int terminal_ = -1;
    int output_ = -1;
    std::mutex mutex_;
    std::string terminalText_;
    std::string outputText_;
    int finishedReaders_ = 0;
    std::thread terminalReader_;
    std::thread outputReader_;
};

// The built daemon executable.
std::string daemonExecutable();

}  // namespace vtr::test
