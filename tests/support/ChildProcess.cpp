#include "support/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

namespace vtr::test {
namespace {

using Clock = std::chrono::steady_clock;

// A pseudo-terminal: the reading end (the master) and the writing end handed to the child.
bool openTerminal(unsigned short columns, int* reading, int* writing) {
    *reading = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128];
    if (*reading < 0 || grantpt(*reading) != 0 || unlockpt(*reading) != 0 ||
        ptsname_r(*reading, name, sizeof name) != 0)
        return false;
    *writing = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (*writing < 0) return false;
    termios attributes{};
    tcgetattr(*writing, &attributes);
    attributes.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tcsetattr(*writing, TCSANOW, &attributes);
    winsize size{};
    size.ws_row = 40;
    size.ws_col = columns;
    ioctl(*writing, TIOCSWINSZ, &size);
    return true;
}

int milliseconds(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

ChildProcess::ChildProcess(std::vector<std::string> command, Terminal terminal,
                           unsigned short columns) {
    std::vector<char*> argv;
    for (std::string& argument : command) argv.push_back(argument.data());
    argv.push_back(nullptr);

    int ends[2][2] = {{-1, -1}, {-1, -1}};  // [stream][0 read, 1 write]
    bool ready = ::pipe2(wake_, O_CLOEXEC) == 0;
    for (int stream = 0; stream < 2 && ready; ++stream) {
        bool onTerminal = terminal == (stream == 0 ? Terminal::Output : Terminal::Errors);
        ready = onTerminal ? openTerminal(columns, &ends[stream][0], &ends[stream][1])
                           : ::pipe2(ends[stream], O_CLOEXEC) == 0;
    }
    output_ = ends[0][0];
    errors_ = ends[1][0];
    if (ready) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, ends[0][1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, ends[1][1], STDERR_FILENO);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attributes, 0);
        if (posix_spawnp(&pid_, argv[0], &actions, &attributes, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
    }
    // Only the child keeps the writing ends, so the reader sees the end of each stream.
    for (auto& pair : ends)
        if (pair[1] >= 0) ::close(pair[1]);
    if (started()) reader_ = std::thread([this] { readUntilClosed(); });
}

ChildProcess::~ChildProcess() {
    if (started() && !hasExited()) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    if (reader_.joinable()) {
        [[maybe_unused]] ssize_t ignored = ::write(wake_[1], "x", 1);
        reader_.join();
    }
    for (int fd : {output_, errors_, wake_[0], wake_[1]})
        if (fd >= 0) ::close(fd);
}

void ChildProcess::readUntilClosed() {
    pollfd descriptors[3] = {{output_, POLLIN, 0}, {errors_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    std::string* into[2] = {&outputText_, &errorText_};
    int open = 2;
    while (open > 0) {
        if (::poll(descriptors, 3, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (descriptors[2].revents != 0) break;
        for (int i = 0; i < 2; ++i) {
            if (descriptors[i].fd < 0 || descriptors[i].revents == 0) continue;
            char buffer[4096];
            ssize_t got = ::read(descriptors[i].fd, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) continue;
            std::lock_guard lock(mutex_);
            if (got > 0) {
                into[i]->append(buffer, static_cast<size_t>(got));
            } else {  // end of file on a pipe; EIO on a terminal whose last user has gone
                descriptors[i].fd = -1;
                --open;
            }
        }
        changed_.notify_all();
    }
    std::lock_guard lock(mutex_);
    drained_ = open == 0;
    changed_.notify_all();
}

std::string ChildProcess::output() const {
    std::lock_guard lock(mutex_);
    return outputText_;
}

std::string ChildProcess::errors() const {
    std::lock_guard lock(mutex_);
    return errorText_;
}

bool ChildProcess::waitFor(const std::string& text, const std::string& stream,
                           std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
        return stream.find(text) != std::string::npos || drained_;
    }) && stream.find(text) != std::string::npos;
}

bool ChildProcess::waitForOutput(const std::string& text, std::chrono::milliseconds timeout) {
    return waitFor(text, outputText_, timeout);
}

bool ChildProcess::waitForErrors(const std::string& text, std::chrono::milliseconds timeout) {
    return waitFor(text, errorText_, timeout);
}

bool ChildProcess::hasExited() {
    if (status_ || !started()) return true;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) != pid_) return false;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return true;
}

std::optional<int> ChildProcess::waitForExit(std::chrono::milliseconds timeout) {
    if (!started()) return std::nullopt;
    auto deadline = Clock::now() + timeout;
    if (!hasExited()) {
        // A process descriptor becomes readable when the process ends: wait on that.
        int process = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
        if (process >= 0) {
            pollfd entry{process, POLLIN, 0};
            while (::poll(&entry, 1, milliseconds(deadline)) < 0 && errno == EINTR) {
            }
            ::close(process);
        }
        if (!hasExited()) return std::nullopt;
    }
    std::unique_lock lock(mutex_);
    if (!changed_.wait_until(lock, deadline, [this] { return drained_; })) return std::nullopt;
    return status_;
}

std::optional<int> ChildProcess::stop(int signal, std::chrono::milliseconds timeout) {
    if (!hasExited()) ::kill(pid_, signal);
    return waitForExit(timeout);
}

CommandResult finish(ChildProcess& command, std::chrono::milliseconds timeout) {
    std::optional<int> status = command.waitForExit(timeout);
    return {status.value_or(-1), command.output(), command.errors()};
}

CommandResult runCommand(std::vector<std::string> command, std::chrono::milliseconds timeout) {
    ChildProcess process(std::move(command));
    return finish(process, timeout);
}

pid_t endedProcessID() {
    pid_t child = fork();
    if (child == 0) _exit(0);
    ::waitpid(child, nullptr, 0);
    return child;
}

bool canMakeNetworkNamespaces() {
    pid_t child = fork();
    if (child == 0) _exit(unshare(CLONE_NEWNET) == 0 ? 0 : 1);
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace vtr::test
