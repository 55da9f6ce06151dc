// Runs a built executable for a test and keeps its exit status and its output: standard output
// on a pipe, or on a pseudo-terminal to look like an interactive session. Use from one test
// thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace vtr::test {

struct CommandResult {
    // The exit status; 128 + the signal number when a signal ended it; -1 when it overran
    // its deadline and was killed.
    int status = -1;
    std::string out;
    std::string err;
};

// A started command whose output can be waited on while it runs.
class RunningCommand {
  public:
    // `arguments` holds the program first. With `terminalColumns` > 0 standard output is a
    // pseudo-terminal that wide, whose line ends arrive as "\r\n".
    explicit RunningCommand(const std::vector<std::string>& arguments,
                            unsigned terminalColumns = 0);
    // Kills the command if it still runs.
    ~RunningCommand();
    RunningCommand(const RunningCommand&) = delete;
    RunningCommand& operator=(const RunningCommand&) = delete;

    // True once standard output contains `text`.
    bool waitForOutput(const std::string& text,
                       std::chrono::milliseconds timeout = std::chrono::seconds(60));
    // Waits for the end (killing the command at the deadline) and returns what it did.
    CommandResult finish(std::chrono::milliseconds timeout = std::chrono::seconds(120));

  private:
    // Reads output until `done` holds, both streams have ended, or the deadline passes.
    void pump(const std::function<bool()>& done, std::chrono::steady_clock::time_point deadline);

    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    int openStreams_ = 2;
    bool finished_ = false;
    CommandResult result_;
};

CommandResult runCommand(const std::vector<std::string>& arguments,
                         std::chrono::milliseconds timeout = std::chrono::seconds(120));
CommandResult runCommandOnTerminal(const std::vector<std::string>& arguments, unsigned columns,
                                   std::chrono::milliseconds timeout = std::chrono::seconds(120));

}  // namespace vtr::test
