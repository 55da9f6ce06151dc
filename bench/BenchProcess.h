// Starting helper processes (the fake recording service, curl) from the benchmarks.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

extern char** environ;

namespace vtr::bench {

// Starts `args` (looked up on PATH) with standard output on `stdoutFd` when it is >= 0;
// the child's pid, or -1.
inline pid_t spawn(std::vector<std::string> args, int stdoutFd) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdoutFd >= 0) posix_spawn_file_actions_adddup2(&actions, stdoutFd, STDOUT_FILENO);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// Starts the built fake-recording-service in `binDirectory` with its data under `dataDirectory`
// and `extraArgs`, and waits (at most 30 s) for the port it prints once it listens. The pid
// (-1 when it could not start) and the port (0 when none came).
struct FakeService {
    pid_t pid = -1;
    uint16_t port = 0;
};
inline FakeService startFakeService(const std::string& binDirectory,
                                    const std::string& dataDirectory,
                                    std::vector<std::string> extraArgs = {}) {
    FakeService service;
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return service;
    std::vector<std::string> args{binDirectory + "/fake-recording-service", "--data-dir",
                                  dataDirectory};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    service.pid = spawn(std::move(args), out[1]);
    close(out[1]);
    std::string line;
    while (service.pid > 0 && line.find('\n') == std::string::npos) {
        pollfd entry{out[0], POLLIN, 0};
        char buffer[64];
        if (poll(&entry, 1, 30000) <= 0) break;
        ssize_t n = read(out[0], buffer, sizeof buffer);
        if (n <= 0) break;
        line.append(buffer, static_cast<size_t>(n));
    }
    close(out[0]);
    if (line.find('\n') != std::string::npos) service.port = static_cast<uint16_t>(std::stoi(line));
    return service;
}

}  // namespace vtr::bench
