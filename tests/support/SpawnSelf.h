#pragma once
// Runs this test program again as a child that runs one test (a gtest filter) with some more
// environment variables, its standard output thrown away: for tests that need a process to
// kill or to let end itself at a chosen moment.

#include <fcntl.h>
#include <filesystem>
#include <spawn.h>
#include <string>
#include <sys/types.h>
#include <vector>

extern char** environ;

namespace vxtest {

// The child's process id; -1 when it could not be started.
inline pid_t spawnSelf(const std::string& test, const std::vector<std::string>& extraEnv) {
    std::vector<std::string> env = extraEnv;
    for (char** e = environ; *e; ++e)
        env.push_back(*e);
    std::vector<char*> envp;
    for (auto& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    std::string filter = "--gtest_filter=" + test;
    char* argv[] = {const_cast<char*>(self.c_str()), filter.data(), nullptr};
    posix_spawn_file_actions_t quiet;
    ::posix_spawn_file_actions_init(&quiet);
    ::posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int rc = ::posix_spawn(&pid, self.c_str(), &quiet, nullptr, argv, envp.data());
    ::posix_spawn_file_actions_destroy(&quiet);
    return rc == 0 ? pid : -1;
}

} // namespace vxtest
