#include "ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

extern char** environ;

namespace vtr::test {

ChildProcess::ChildProcess(const std::vector<std::string>& command,
                           const std::map<std::string, std::string>& environment,
                           const std::string& errorFile) {
    std::map<std::string, std::string> variables;
    for (char** entry = environ; *entry; ++entry) {
        const char* equals = std::strchr(*entry, '=');
        if (equals) variables[std::string(*entry, static_cast<size_t>(equals - *entry))] = equals + 1;
    }
    for (const auto& [name, value] : environment) variables[name] = value;
    std::vector<std::string> envText;
    for (const auto& [name, value] : variables) envText.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (std::string& entry : envText) envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = command;
    std::vector<char*> argv;
    for (std::string& argument : args) argv.push_back(argument.data());
    argv.push_back(nullptr);

    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errorFile.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    // Its own process group, so a terminal's signals meant for the test runner miss it.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    int spawned = posix_spawn(&pid_, argv[0], &actions, &attributes, argv.data(), envp.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (spawned != 0) {
        pid_ = -1;
        ::close(out[0]);
        return;
    }
    output_ = out[0];
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !status_) stop(SIGKILL, std::chrono::seconds(30));
    if (output_ >= 0) ::close(output_);
}

std::optional<std::string> ChildProcess::readFirstLine(std::chrono::milliseconds timeout) {
    if (output_ < 0) return std::nullopt;
    std::string text;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (text.find('\n') == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        pollfd descriptor{output_, POLLIN, 0};
        if (::poll(&descriptor, 1, static_cast<int>(left.count())) <= 0) continue;
        char byte;
        // One byte at a time, so nothing after the first line is consumed.
        if (::read(output_, &byte, 1) != 1) return std::nullopt;
        text.push_back(byte);
    }
    text.pop_back();
    return text;
}

bool ChildProcess::hasExited() {
    if (status_) return true;
    if (pid_ <= 0) return true;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) status_ = status;
    return status_.has_value();
}

std::optional<int> ChildProcess::stop(int signal, std::chrono::milliseconds timeout) {
    if (hasExited()) return status_;
    ::kill(pid_, signal);
    // A process descriptor becomes readable when the process ends: wait on that.
    int descriptor = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    if (descriptor >= 0) {
        pollfd entry{descriptor, POLLIN, 0};
        ::poll(&entry, 1, static_cast<int>(timeout.count()));
        ::close(descriptor);
    }
    hasExited();
    return status_;
}

}  // namespace vtr::test
