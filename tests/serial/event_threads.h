#pragma once

// The port's event threads as the kernel lists them, for checking that threads
// end, keep their level, and use no processor time while the line is idle.

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

struct EventThread {
    int tid = 0;
    long nice = 0;
    unsigned long cpuTicks = 0;
};

inline std::vector<EventThread> EventThreads()
{
    std::vector<EventThread> found;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        std::getline(comm, name);
        if (name != "VaCommThread")
            continue;
        std::ifstream statFile(task.path() / "stat");
        std::string stat;
        std::getline(statFile, stat);
        const auto close = stat.rfind(')');
        if (close == std::string::npos)
            continue; // the thread ended while being looked at
        // After the name: state is field 3; utime 14, stime 15, nice 19.
        std::istringstream fields(stat.substr(close + 2));
        std::vector<std::string> f((std::istream_iterator<std::string>(fields)),
                                   std::istream_iterator<std::string>());
        if (f.size() < 17)
            continue;
        EventThread t;
        t.tid = std::stoi(task.path().filename().string());
        t.cpuTicks = std::stoul(f[11]) + std::stoul(f[12]);
        t.nice = std::stol(f[16]);
        found.push_back(t);
    }
    return found;
}

// Processor time of all event threads together, in clock ticks.
inline unsigned long EventThreadTicks()
{
    unsigned long ticks = 0;
    for (const EventThread& t : EventThreads())
        ticks += t.cpuTicks;
    return ticks;
}
