// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// chipwright-cli run as a child process, the way scripts run it: a copy of the program
// in a folder of its own with the chip database and config.ini beside it (so its log
// and settings are the folder's), stdout and stderr caught in files, stdin empty.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/temp_dir.h"

extern char** environ;

namespace testsupport {

// `n` bytes of a fixed pseudo-random pattern: chip contents no bug produces by accident.
inline std::string randomBytes(std::size_t n, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(n, '\0');
    for (char& c : bytes)
        c = static_cast<char>(random());
    return bytes;
}

struct CliResult {
    int status = -1;  // the exit status, or 128 + the signal that ended it
    std::string out;
    std::string err;
    nlohmann::json json() const { return nlohmann::json::parse(out); }
};

class CliRig : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        home_ = new TempDir;
        // The test binaries and the program are built into one folder.
        const auto bin = std::filesystem::read_symlink("/proc/self/exe").parent_path();
        for (const char* file : {"chipwright-cli", "chips.cwdb", "config.ini"})
            std::filesystem::copy_file(bin / file, home_->file(file));
    }
    static void TearDownTestSuite() {
        delete home_;
        home_ = nullptr;
    }

    static std::string program() { return home_->file("chipwright-cli"); }
    static std::string homeFile(std::string_view name) { return home_->file(name); }

    // Starts the program with `args` in the test's folder; runs at the same time keep
    // their output apart by `tag`. `stdoutFd` and `stderrFd`, when given, are its stdout
    // and stderr instead of files.
    pid_t start(const std::vector<std::string>& args, const std::string& tag = "",
                int stdoutFd = -1, int stderrFd = -1) {
        std::vector<std::string> all{program()};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : all)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        const std::string out = dir.file("stdout" + tag), err = dir.file("stderr" + tag);
        if (stdoutFd >= 0)
            posix_spawn_file_actions_adddup2(&actions, stdoutFd, 1);
        else
            posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                             0644);
        if (stderrFd >= 0)
            posix_spawn_file_actions_adddup2(&actions, stderrFd, 2);
        else
            posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                             0644);
        posix_spawn_file_actions_addchdir_np(&actions, dir.path().c_str());
        pid_t pid = -1;
        EXPECT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        return pid;
    }
    CliResult finish(pid_t pid, const std::string& tag = "") {
        int status = 0;
        waitpid(pid, &status, 0);
        CliResult r;
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        r.out = readFile(dir.file("stdout" + tag));
        r.err = readFile(dir.file("stderr" + tag));
        return r;
    }
    CliResult run(const std::vector<std::string>& args, const std::string& tag = "") {
        return finish(start(args, tag), tag);
    }

    // Waits until the running program has written `text` to stderr.
    bool waitForErr(const std::string& text, std::chrono::milliseconds limit,
                    const std::string& tag = "") {
        const auto until = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < until) {
            if (readFile(dir.file("stderr" + tag)).find(text) != std::string::npos)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    TempDir dir;

  private:
    static inline TempDir* home_ = nullptr;
};

}  // namespace testsupport
