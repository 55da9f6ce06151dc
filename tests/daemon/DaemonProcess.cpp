#include "DaemonProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <stdexcept>

#include "support/TestSupport.h"

extern char** environ;

namespace vtr::test {

std::string daemonExecutable() {
    return std::string(VTR_BIN_DIR) + "/vantrel-uploadd";
}

DaemonProcess::DaemonProcess(std::vector<std::string> command,
                             std::map<std::string, std::string> environment) {
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        throw std::runtime_error("no pseudo-terminal");
    // The parent holds the terminal's other end until the child has its own copy, so the
    // reader never sees a terminal without users before the child starts.
    int terminal = open(ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (terminal < 0) throw std::runtime_error("no pseudo-terminal");
    int outputPipe[2];
    if (pipe2(outputPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe");

    for (char** variable = environ; *variable; ++variable) {
        std::string entry = *variable;
        size_t equals = entry.find('=');
        if (equals != std::string::npos)
            environment.try_emplace(entry.substr(0, equals), entry.substr(equals + 1));
    }
    std::vector<std::string> environmentEntries;
    for (const auto& [name, value] : environment) environmentEntries.push_back(name + "=" + value);
    std::vector<char*> argv, envp;
    for (auto& argument : command) argv.push_back(argument.data());
    argv.push_back(nullptr);
    for (auto& entry : environmentEntries) envp.push_back(entry.data());
    envp.push_back(nullptr);

    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
        int nothing = open("/dev/null", O_RDONLY);
        if (nothing < 0) _exit(125);
        dup2(nothing, 0);
        dup2(outputPipe[1], 1);
        dup2(terminal, 2);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(outputPipe[1]);
    close(terminal);
    terminal_ = master;
    output_ = outputPipe[0];
    terminalReader_ = std::thread([this] { collect(terminal_, terminalText_); });
    outputReader_ = std::thread([this] { collect(output_, outputText_); });
}

DaemonProcess::~DaemonProcess() {
    if (!hasExited()) {
        kill(pid_, SIGKILL);
        waitForExit();
    }
    // Both readers end once the process is gone: end of file on the pipe, EIO on the terminal.
    outputReader_.join();
    terminalReader_.join();
    close(terminal_);
    close(output_);
}

void DaemonProcess::collect(int fd, std::string& into) {
    char buffer[4096];
    for (;;) {
        ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;  // EOF, or EIO once the terminal's last user has gone
        std::lock_guard lock(mutex_);
        into.append(buffer, static_cast<size_t>(got));
    }
    std::lock_guard lock(mutex_);
    ++finishedReaders_;
}

bool DaemonProcess::hasExited() {
    if (status_) return true;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) != pid_) return false;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return true;
}

std::optional<int> DaemonProcess::waitForExit(std::chrono::milliseconds timeout) {
    // Also until everything the process wrote has been read.
    auto drained = [this] {
        std::lock_guard lock(mutex_);
        return finishedReaders_ == 2;
    };
    if (!waitUntil([&] { return hasExited() && drained(); }, timeout)) return std::nullopt;
    return status_;
}

bool DaemonProcess::waitForTerminalText(const std::string& text,
                                        std::chrono::milliseconds timeout) {
    return waitUntil([&] { return terminalOutput().find(text) != std::string::npos; }, timeout);
}

std::string DaemonProcess::terminalOutput() {
    std::lock_guard lock(mutex_);
    std::string text;
    for (size_t i = 0; i < terminalText_.size(); ++i)
        if (!(terminalText_[i] == '\r' && i + 1 < terminalText_.size() &&
              terminalText_[i + 1] == '\n'))
            text += terminalText_[i];
    return text;
}

std::string DaemonProcess::standardOutput() {
    std::lock_guard lock(mutex_);
    return outputText_;
}

}  // namespace vtr::test
