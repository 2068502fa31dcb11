#pragma once

// A program of the project run as a child process, its standard output and
// error going to files, for tests of what the program itself does: its exit
// status, its signals, its streams.

#include "wait.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

extern char** environ;

class ChildProcess {
public:
    // Starts `program` with `args`; standard output goes to `out`, standard
    // error to `err` (or with the output when `err` is empty).
    ChildProcess(const std::string& program, std::vector<std::string> args, const std::filesystem::path& out,
                 const std::filesystem::path& err = {})
    {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        Spawn(program, std::move(args), actions, err);
    }
    // The same with standard output on the descriptor `out`, such as a pipe's
    // write end; the caller keeps its own.
    ChildProcess(const std::string& program, std::vector<std::string> args, int out, const std::filesystem::path& err)
    {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out, 1);
        Spawn(program, std::move(args), actions, err);
    }
    ~ChildProcess()
    {
        if (pid_ > 0 && status_ < 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Started() const { return pid_ > 0; }
    pid_t Pid() const { return pid_; }
    void Signal(int signal) { ::kill(pid_, signal); }
    // The exit status once the program has ended within the deadline (128 + the
    // signal for one that killed it); -1 otherwise. The event loop runs meanwhile.
    int WaitForExit(std::chrono::milliseconds deadline = std::chrono::seconds(10))
    {
        WaitUntil(
            [&] {
                int status = 0;
                if (status_ < 0 && ::waitpid(pid_, &status, WNOHANG) == pid_)
                    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                return status_ >= 0;
            },
            deadline);
        return status_;
    }

private:
    // Starts the program with `actions` for standard output, and destroys them.
    void Spawn(const std::string& program, std::vector<std::string> args, posix_spawn_file_actions_t& actions,
               const std::filesystem::path& err)
    {
        args.insert(args.begin(), program);
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (err.empty())
            posix_spawn_file_actions_adddup2(&actions, 1, 2);
        else
            posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }

    pid_t pid_ = -1;
    int status_ = -1;
};
