// ChildProcess: one executable started by a test with its own environment, its standard output
// and error going to a file. Killed (SIGKILL) and reaped on destruction if it still runs, so no
// test leaves a process behind. Use from one test thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vtr::test {

class ChildProcess {
  public:
    // `command` is the executable and its arguments; `environment` overrides or adds variables.
    // Standard output goes to a pipe read by `readFirstLine`; standard error to `errorFile`.
    ChildProcess(const std::vector<std::string>& command,
                 const std::map<std::string, std::string>& environment,
                 const std::string& errorFile);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    // The first line of standard output, or nothing when none arrived within `timeout`.
    std::optional<std::string> readFirstLine(std::chrono::milliseconds timeout);
    // Sends `signal` and reaps the process; its raw wait status, or nothing if it did not end
    // within `timeout`.
    std::optional<int> stop(int signal, std::chrono::milliseconds timeout);
    // True (and reaped) once the process has ended.
    bool hasExited();

  private:
    pid_t pid_ = -1;
    int output_ = -1;
    std::optional<int> status_;
};

}  // namespace vtr::test
