#pragma once

// What the journal's tests share: records that fill every field, waiting for a
// condition, and other processes (writers, and writers without root's rights).

#include "journal.h"
#include "journalhistory.h"
#include "journalrecord.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

// A session with every field set and different from its neighbours', so that a
// field read into the wrong place shows. `number` varies the numbers and the
// times (one second apart from 2026-12-10T08:00:00.000Z on).
inline TJournalRecord SampleRecord(int number, const std::string& writer = "bench")
{
    const auto base = std::chrono::sys_days(std::chrono::year(2026) / 12 / 10) + std::chrono::hours(8);
    const auto started = std::chrono::system_clock::time_point(base + std::chrono::seconds(number));
    TJournalRecord record;
    record.Id = NewJournalId();
    record.Started = JournalTime(started);
    record.Ended = JournalTime(started + std::chrono::milliseconds(750 + number));
    record.Host = "bench-" + writer;
    record.ProgramVersion = "3.03";
    record.FrontEnd = std::string(number % 2 ? kFrontEndCommandLine : kFrontEndWindow);
    record.ComNumber = number % 10;
    record.DevicePath = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3D" + std::to_string(number) + "-if00-port0";
    record.AdapterSerial = "A1B2C3D" + std::to_string(number);
    record.Identification = writer + "-" + std::to_string(number);
    record.LoaderFile = "/srv/qr740/qr740.ldr";
    record.LoaderSha256 = "5d41402abc4b2a76b9719d911017c592" + std::to_string(1000 + number);
    record.LoaderVersion = "LDR 2.1";
    record.VersionBefore = "3.02";
    record.VersionToInstall = "3.03";
    record.ImagePath = "/srv/qr740/FW00303.bin";
    record.ImageSize = 65536 + number;
    record.ImageSha256 = "9f86d081884c7d659a2feaa0c55ad015" + std::to_string(2000 + number);
    record.Unit = "QR" + std::to_string(100000 + number);
    record.FlashSha256 = "e3b0c44298fc1c149afbf4c8996fb924" + std::to_string(4000 + number);
    record.FlashStart = 0x10000 + number;
    record.FlashEnd = 0x20000 + number;
    record.BlockSize = 256;
    record.BlocksExamined = 256 + number;
    record.BlocksSent = 192 + number;
    record.BlocksSkipped = 64;
    record.ParameterFile = "/srv/qr740/line4.par";
    record.ParameterSha256 = "2c26b46b68ffc68ff99b453c1d304134" + std::to_string(3000 + number);
    record.ParameterLinesSent = 40 + number;
    record.ParameterLinesRefused = number % 3;
    record.Outcome = std::string(kOutcomeProgrammedWithParameters);
    record.FailureKind = "";
    record.Message = "Parameter Load Complete";
    record.DurationMs = 13000 + number;
    return record;
}

// gtest shows a record as its JSON line instead of its bytes.
inline void PrintTo(const TJournalRecord& record, std::ostream* out)
{
    *out << FormatHistoryJson({record});
}

inline std::vector<std::string> Ids(const std::vector<TJournalRecord>& records)
{
    std::vector<std::string> ids;
    for (const TJournalRecord& record : records)
        ids.push_back(record.Id);
    return ids;
}

// Looks at `condition` every few milliseconds until it holds or the deadline
// passes; returns its last value.
inline bool WaitFor(const std::function<bool()>& condition,
                    std::chrono::milliseconds deadline = std::chrono::seconds(30))
{
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= end)
            return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// `command` as it must run to be refused what root may write anywhere: as
// nobody when we are root, as ourselves otherwise. Nobody may not enter the
// checkout (a clone in a folder only its owner may enter, as home folders often
// are), so the program, and the ThreadSanitizer suppressions it is pointed at,
// are copied into `scratch`, a folder of the test's that nobody may enter.
inline std::vector<std::string> Unprivileged(const std::filesystem::path& scratch, std::vector<std::string> command)
{
    if (::geteuid() != 0)
        return command;
    namespace fs = std::filesystem;
    const fs::path tools = scratch / "unprivileged";
    fs::create_directories(tools);
    fs::permissions(tools, fs::perms(0755));
    const fs::path program = tools / fs::path(command.front()).filename();
    fs::copy_file(command.front(), program, fs::copy_options::overwrite_existing);
    fs::permissions(program, fs::perms(0755));
    command.front() = program.string();

    std::vector<std::string> full = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"};
    if (const char* options = std::getenv("TSAN_OPTIONS")) {
        // The sanitizer reads its suppressions as the child, before main.
        std::string rewritten;
        std::string option;
        std::istringstream words(options);
        while (words >> option) {
            if (option.starts_with("suppressions=")) {
                const fs::path copy = tools / "tsan.supp";
                fs::copy_file(option.substr(std::strlen("suppressions=")), copy,
                              fs::copy_options::overwrite_existing);
                fs::permissions(copy, fs::perms(0644));
                option = "suppressions=" + copy.string();
            }
            rewritten += rewritten.empty() ? option : " " + option;
        }
        full.insert(full.end(), {"/usr/bin/env", "TSAN_OPTIONS=" + rewritten});
    }
    full.insert(full.end(), command.begin(), command.end());
    return full;
}

// Another process, its output in files.
class ChildProcess {
public:
    ChildProcess(std::vector<std::string> command, const std::string& outFile, const std::string& errFile)
    {
        std::vector<char*> argv;
        for (std::string& argument : command)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        const int error = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (error != 0)
            throw std::runtime_error("posix_spawn " + command[0] + ": " + std::strerror(error));
    }
    ~ChildProcess()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            Wait();
        }
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Ends it as a power cut or `kill -9` would: no handler runs.
    void Kill()
    {
        ::kill(pid_, SIGKILL);
        Wait();
    }

    // The exit status, or 128 + the signal that ended it.
    int Wait()
    {
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

private:
    pid_t pid_ = -1;
};
