#pragma once

// Runs a program with a fixed environment and collects what it prints, for end-to-end tests.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace quorvane::testing {

namespace fs = std::filesystem;

struct ProcessResult {
    int status = -1;
    std::string out;
    std::string err;
};

inline std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// A scratch folder under the system's temporary folder; kept when a test fails, for a look.
struct Scratch {
    fs::path path;
    explicit Scratch(const std::string& name) {
        path = fs::temp_directory_path() / (name + "-" + std::to_string(::getpid()));
        fs::remove_all(path);
        fs::create_directories(path);
    }
    ~Scratch() {
        if (!::testing::Test::HasFailure())
            fs::remove_all(path);
    }
};

// Runs `program` with `arguments` and exactly the environment given (plus fixed TZ and locale).
inline ProcessResult run(const std::string& program, const std::vector<std::string>& arguments,
                         std::vector<std::string> environment) {
    Scratch outputs("e2e-output");
    const fs::path out = outputs.path / "out";
    const fs::path err = outputs.path / "err";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);

    std::vector<std::string> argv{program};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    environment.insert(environment.end(),
                       {"TZ=Europe/Berlin", "LANG=en_US.UTF-8", "LC_ALL=en_US.UTF-8",
                        "PATH=/usr/bin:/bin", "HOME=" + outputs.path.string()});
    if (const char* asan = std::getenv("ASAN_OPTIONS"))
        environment.push_back(std::string("ASAN_OPTIONS=") + asan);
    std::vector<char*> args, env;
    for (auto& a : argv)
        args.push_back(a.data());
    args.push_back(nullptr);
    for (auto& e : environment)
        env.push_back(e.data());
    env.push_back(nullptr);

    ProcessResult result;
    pid_t pid = 0;
    if (posix_spawn(&pid, program.c_str(), &actions, nullptr, args.data(), env.data()) == 0) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    result.out = slurp(out);
    result.err = slurp(err);
    return result;
}

// The status printout of the simulated Mac at `root`, whose user is ann.
inline ProcessResult printStatus(const fs::path& root,
                                 std::vector<std::string> arguments = {"--print-status"},
                                 std::vector<std::string> environment = {}) {
    environment.push_back("QUORVANE_ROOT=" + root.string());
    environment.push_back("QUORVANE_HOME=/Users/ann");
    return run(QUORVANE_EXECUTABLE, arguments, environment);
}

} // namespace quorvane::testing
