// Starting helper processes (the fake recording service, curl) from the benchmarks.
#pragma once

#include <spawn.h>
#include <unistd.h>

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

}  // namespace vtr::bench
