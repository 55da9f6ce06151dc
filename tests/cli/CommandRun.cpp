#include "CommandRun.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <stdexcept>

namespace vtr::test {

RunningCommand::RunningCommand(const std::vector<std::string>& arguments,
                               unsigned terminalColumns) {
    int outWrite = -1, errPipe[2];
    if (terminalColumns > 0) {
        out_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (out_ < 0 || grantpt(out_) != 0 || unlockpt(out_) != 0)
            throw std::runtime_error("no pseudo-terminal");
        outWrite = open(ptsname(out_), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (outWrite < 0) throw std::runtime_error("no pseudo-terminal");
        winsize size{};
        size.ws_row = 40;
        size.ws_col = static_cast<unsigned short>(terminalColumns);
        ioctl(outWrite, TIOCSWINSZ, &size);
    } else {
        int outPipe[2];
        if (pipe2(outPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        out_ = outPipe[0];
        outWrite = outPipe[1];
    }
    if (pipe2(errPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    err_ = errPipe[0];

    std::vector<std::string> copies = arguments;
    std::vector<char*> argv;
    for (std::string& argument : copies) argv.push_back(argument.data());
    argv.push_back(nullptr);

    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
        int nothing = open("/dev/null", O_RDONLY);
        if (nothing < 0) _exit(125);
        dup2(nothing, 0);
        dup2(outWrite, 1);
        dup2(errPipe[1], 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(outWrite);
    close(errPipe[1]);
}

RunningCommand::~RunningCommand() {
    if (!finished_) finish(std::chrono::milliseconds(0));
}

void RunningCommand::pump(const std::function<bool()>& done,
                          std::chrono::steady_clock::time_point deadline) {
    pollfd descriptors[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
    std::string* into[2] = {&result_.out, &result_.err};
    while (openStreams_ > 0 && !done()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return;
        if (poll(descriptors, 2, static_cast<int>(left.count())) < 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (descriptors[i].fd < 0 || descriptors[i].revents == 0) continue;
            char buffer[4096];
            ssize_t n = read(descriptors[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                into[i]->append(buffer, static_cast<size_t>(n));
            } else {
                // End of file on a pipe; EIO on a terminal whose last user has gone.
                (i == 0 ? out_ : err_) = -1;
                close(descriptors[i].fd);
                descriptors[i].fd = -1;
                --openStreams_;
            }
        }
    }
}

bool RunningCommand::waitForOutput(const std::string& text, std::chrono::milliseconds timeout) {
    pump([&] { return result_.out.find(text) != std::string::npos; },
         std::chrono::steady_clock::now() + timeout);
    return result_.out.find(text) != std::string::npos;
}

CommandResult RunningCommand::finish(std::chrono::milliseconds timeout) {
    pump([] { return false; }, std::chrono::steady_clock::now() + timeout);
    bool overran = openStreams_ > 0;
    if (overran) kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    if (out_ >= 0) close(out_);
    if (err_ >= 0) close(err_);
    out_ = err_ = -1;
    finished_ = true;
    if (overran)
        result_.status = -1;
    else if (WIFEXITED(status))
        result_.status = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result_.status = 128 + WTERMSIG(status);
    return result_;
}

CommandResult runCommand(const std::vector<std::string>& arguments,
                         std::chrono::milliseconds timeout) {
    return RunningCommand(arguments).finish(timeout);
}

CommandResult runCommandOnTerminal(const std::vector<std::string>& arguments, unsigned columns,
                                   std::chrono::milliseconds timeout) {
    return RunningCommand(arguments, columns).finish(timeout);
}

}  // namespace vtr::test
