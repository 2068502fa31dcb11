// Figures for a gang: N simulated controllers, each on its own paced line at
// 9600 baud, programmed by one qr740-flash over N ports, and by N qr740-flash
// processes side by side for comparison. Prints a table; nothing here passes or
// fails on time.
//
//   qr740-gang-bench [--quick] [--ports 1,4,16,32,64] [--busy-only | --no-busy] [--keep]
//
// Per run: each port's wire efficiency (the line time of the bytes exchanged
// from the erase request to the last block's reply, against the wall time the
// simulator saw), the aggregate throughput against N times one port's, the
// programmer's turnarounds as the simulators measured them on their lines, the
// processor time per port per second of line time, and the peak resident
// memory. A second table gives the programmer's and the simulators' processor
// time over the run, the programmer's split by thread, its peak descriptors
// and threads, and the machine's load. A last run repeats 16 ports while one
// more port uploads a 60 KiB loader, one keeps going through its restart
// pause, and one has its adapter unplugged (--busy-only runs that alone;
// --keep leaves the transcripts).

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <numeric>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kBaud = 9600;
constexpr double kBitsPerByte = 10;

double LineSeconds(double bytes)
{
    return bytes * kBitsPerByte / kBaud;
}

double Seconds(const timeval& t)
{
    return double(t.tv_sec) + double(t.tv_usec) / 1e6;
}

pid_t Spawn(const std::vector<std::string>& args, const fs::path& output)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

struct TUsage {
    double cpu = 0;   // seconds, user and system
    long peakKiB = 0; // resident
};

TUsage Reap(pid_t pid)
{
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    return {Seconds(usage.ru_utime) + Seconds(usage.ru_stime), usage.ru_maxrss};
}

// Left in place with --keep, to read the transcripts of a run afterwards.
bool gKeep = false;

// What the programmer holds while it runs, looked at every few hundred
// milliseconds: its open descriptors and threads at their most, and the
// processor time of its threads by kind at the last look.
struct TWatched {
    std::size_t peakDescriptors = 0;
    std::size_t peakThreads = 0;
    double eventThreadsCpu = 0; // seconds, all event threads together
    double mainCpu = 0;
    double otherCpu = 0; // the journal's thread and any other
    // Each thread's time at its last look, by thread id: an event thread ends
    // with its port, before the process does.
    std::map<std::string, std::pair<int, double>> byThread;
};

void Look(pid_t pid, TWatched& w)
{
    const fs::path proc = "/proc/" + std::to_string(pid);
    std::error_code ec;
    std::size_t fds = 0;
    for (auto it = fs::directory_iterator(proc / "fd", ec); !ec && it != fs::directory_iterator(); it.increment(ec))
        ++fds;
    w.peakDescriptors = std::max(w.peakDescriptors, fds);
    std::size_t threads = 0;
    const double tick = double(::sysconf(_SC_CLK_TCK));
    for (auto it = fs::directory_iterator(proc / "task", ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
        ++threads;
        std::ifstream statFile(it->path() / "stat");
        std::string stat;
        std::getline(statFile, stat);
        const auto close = stat.rfind(')');
        if (close == std::string::npos)
            continue;
        const std::string name = stat.substr(stat.find('(') + 1, close - stat.find('(') - 1);
        std::istringstream fields(stat.substr(close + 2));
        std::vector<std::string> f;
        for (std::string x; fields >> x;)
            f.push_back(x);
        if (f.size() < 13)
            continue;
        const double cpu = (std::stod(f[11]) + std::stod(f[12])) / tick;
        const std::string tid = it->path().filename().string();
        const int kind = name == "VaCommThread" ? 0 : tid == std::to_string(pid) ? 1 : 2;
        w.byThread[tid] = {kind, cpu};
    }
    w.peakThreads = std::max(w.peakThreads, threads);
    w.eventThreadsCpu = w.mainCpu = w.otherCpu = 0;
    for (const auto& [tid, t] : w.byThread)
        (t.first == 0 ? w.eventThreadsCpu : t.first == 1 ? w.mainCpu : w.otherCpu) += t.second;
}

// Waits for the programmer to end by itself, looking at it meanwhile.
TUsage Watch(pid_t pid, TWatched& w)
{
    for (;;) {
        int status = 0;
        rusage usage{};
        const pid_t done = ::wait4(pid, &status, WNOHANG, &usage);
        if (done == pid || done < 0)
            return {Seconds(usage.ru_utime) + Seconds(usage.ru_stime), usage.ru_maxrss};
        Look(pid, w);
        std::this_thread::sleep_for(250ms);
    }
}

class TScratch {
public:
    TScratch()
    {
        char name[] = "/tmp/qr740-gang-XXXXXX";
        path_ = ::mkdtemp(name);
    }
    ~TScratch()
    {
        if (gKeep)
            std::fprintf(stderr, "kept %s\n", path_.c_str());
        else
            fs::remove_all(path_);
    }
    const fs::path& Path() const { return path_; }

private:
    fs::path path_;
};

// One simulated controller, a program of its own.
class TSim {
public:
    TSim(const fs::path& program, const fs::path& folder, const std::string& name,
         std::vector<std::string> options)
        : link_(folder / ("tty-" + name)), transcript_(folder / ("sim-" + name + ".txt")),
          turnarounds_(folder / ("turnarounds-" + name + ".txt"))
    {
        std::vector<std::string> args = {program.string(), "--link", link_.string(), "--turnaround-out",
                                         turnarounds_.string()};
        args.insert(args.end(), options.begin(), options.end());
        pid_ = Spawn(args, transcript_);
        const auto deadline = Clock::now() + 10s;
        // A program of its own: nothing to wait on but its link.
        while (!fs::is_symlink(link_) && Clock::now() < deadline)
            std::this_thread::sleep_for(10ms);
    }
    ~TSim() { Stop(); }
    TSim(const TSim&) = delete;
    TSim& operator=(const TSim&) = delete;

    void Signal(int signal) { ::kill(pid_, signal); }
    // Ends it; its files are written. Returns the processor time it took.
    double Stop()
    {
        double cpu = 0;
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            cpu = Reap(pid_).cpu;
            pid_ = -1;
        }
        return cpu;
    }
    const fs::path& Link() const { return link_; }
    const fs::path& Transcript() const { return transcript_; }
    const fs::path& TurnaroundFile() const { return turnarounds_; }

private:
    fs::path link_;
    fs::path transcript_;
    fs::path turnarounds_;
    pid_t pid_ = -1;
};

std::size_t Count(const fs::path& file, const std::string& text)
{
    std::ifstream in(file);
    std::size_t n = 0;
    for (std::string line; std::getline(in, line);)
        n += line.find(text) != std::string::npos;
    return n;
}

// One port's programming as its simulator saw it.
struct TPortFigures {
    double line = 0;
    double wall = -1;
    std::vector<double> turnarounds;
};

TPortFigures PortFigures(const TSim& sim)
{
    double eraseReceived = -1;
    double lastReplyQueued = -1;
    std::size_t frames = 0;
    std::ifstream in(sim.Transcript());
    for (std::string line; std::getline(in, line);) {
        const double at = std::atof(line.c_str() + 1);
        // Only the first controller's programming counts.
        if (line.find("<- frame 'E'") != std::string::npos && eraseReceived < 0)
            eraseReceived = at;
        if (line.find("-> frame 'P'") != std::string::npos && eraseReceived >= 0) {
            lastReplyQueued = at;
            ++frames;
        }
        if (line.find("<- frame 'S'") != std::string::npos || line.find("session complete") != std::string::npos) {
            if (eraseReceived >= 0)
                break;
        }
    }
    TPortFigures f;
    const double reply = 15;
    f.line = LineSeconds(15 + reply + double(frames) * (270 + reply));
    if (eraseReceived >= 0 && lastReplyQueued >= 0)
        f.wall = (lastReplyQueued + LineSeconds(reply)) - (eraseReceived - LineSeconds(15));
    std::ifstream t(sim.TurnaroundFile());
    for (double gap; t >> gap;)
        f.turnarounds.push_back(gap);
    return f;
}

double Quantile(std::vector<double> values, double q)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, std::size_t(q * double(values.size())))];
}

struct TRunFigures {
    double minEfficiency = 0;
    double throughput = 0; // line seconds programmed per wall second, over all ports
    double median = 0;
    double p99 = 0;
    double worstP99 = 0; // of the port whose p99 is worst
    double cpuPerLineSecond = 0;
    double cpuShare = 0;     // the programmer's processor time over the run's wall time, all ports
    double simsShare = 0;    // the same for the simulators together
    double wall = 0;         // seconds, from the programmer's start to its end
    long peakKiB = 0;
    TWatched watched;
    bool complete = false;
};

enum class TMode { OneProcess, Processes, Busy };

TRunFigures RunGang(const fs::path& bin, std::size_t ports, std::size_t blocks, TMode mode)
{
    TScratch scratch;
    const fs::path& dir = scratch.Path();
    {
        std::vector<char> image(blocks * 256);
        for (std::size_t i = 0; i < image.size(); ++i)
            image[i] = char((i * 31 + i / 256) & 0x7F); // no block blank
        std::ofstream(dir / "image.bin", std::ios::binary).write(image.data(), std::streamsize(image.size()));
        std::ofstream(dir / "bench.ldr") << std::string(64, 'L');
        std::ofstream(dir / "big.ldr") << std::string(60 * 1024, 'B');
        std::ofstream(dir / "bench.par") << "000=25\n102 7\n";
        std::ofstream(dir / "Loader.ini")
            << "[Binary]\nQR 740=image\n[Loader]\nQR740=bench.ldr\nQR740BIG=big.ldr\n"
            << (mode == TMode::Busy ? "[Load Parameters]\nParameter File=bench\n" : "");
    }
    const fs::path sim = bin / "qr740-sim";
    const std::string end = std::to_string(0x4000 + blocks * 256);
    std::vector<std::unique_ptr<TSim>> sims;
    for (std::size_t i = 0; i < ports; ++i)
        sims.push_back(std::make_unique<TSim>(sim, dir, std::to_string(i + 1),
                                              std::vector<std::string>{"--pace", "--flash-end", end}));
    std::vector<std::unique_ptr<TSim>> extras;
    if (mode == TMode::Busy) {
        // A loader of 60 KiB takes a minute at 9600 baud; the time-out cuts
        // it after 8 s, and the controller asks again: it uploads throughout.
        extras.push_back(std::make_unique<TSim>(sim, dir, "big",
                                                std::vector<std::string>{"--pace", "--id", "QR740BIG"}));
        // One block, then the restart, its 2 s pause and the parameters, over
        // and over.
        extras.push_back(std::make_unique<TSim>(
            sim, dir, "restarts",
            std::vector<std::string>{"--pace", "--flash-end", "0x4100", "--quiet-ms", "2500"}));
        // Pulled out once the programmer has it open, and not plugged in
        // again during the run.
        extras.push_back(std::make_unique<TSim>(sim, dir, "unplugged",
                                                std::vector<std::string>{"--quiet-ms", "3600000"}));
    }

    const fs::path flash = bin / "qr740-flash";
    std::vector<std::string> common = {flash.string(), "--folder", dir.string(), "--quiet"};
    TUsage usage;
    TWatched watched;
    bool complete = true;
    const auto started = Clock::now();
    if (mode == TMode::Processes) {
        std::vector<pid_t> pids;
        for (std::size_t i = 0; i < ports; ++i) {
            std::vector<std::string> args = common;
            args.insert(args.end(), {"--port", sims[i]->Link().string()});
            pids.push_back(Spawn(args, dir / ("flash-" + std::to_string(i + 1) + ".txt")));
        }
        for (pid_t pid : pids) {
            const TUsage u = Reap(pid);
            usage.cpu += u.cpu;
            usage.peakKiB += u.peakKiB;
        }
    } else {
        std::vector<std::string> args = common;
        for (const auto& s : sims)
            args.insert(args.end(), {"--port", s->Link().string()});
        for (const auto& s : extras)
            args.insert(args.end(), {"--port", s->Link().string()});
        if (mode == TMode::Busy)
            args.insert(args.end(), {"--count", "0"});
        const pid_t pid = Spawn(args, dir / "flash.txt");
        if (mode == TMode::Busy) {
            const auto opened = Clock::now() + 10s;
            while (Count(extras.back()->Transcript(), "the programmer opened the port") == 0 && Clock::now() < opened)
                std::this_thread::sleep_for(20ms);
            extras.back()->Signal(SIGUSR1);
            // Until every measured port has had its last block answered.
            const auto deadline = Clock::now() + std::chrono::seconds(60 + blocks * 2);
            const auto allDone = [&] {
                return std::all_of(sims.begin(), sims.end(), [&](const auto& s) {
                    return Count(s->Transcript(), "-> frame 'P'") >= blocks;
                });
            };
            while (!allDone() && Clock::now() < deadline) {
                Look(pid, watched);
                std::this_thread::sleep_for(500ms);
            }
            complete = allDone();
            ::kill(pid, SIGTERM);
            usage = Reap(pid);
        } else {
            usage = Watch(pid, watched);
        }
    }
    const double wall = std::chrono::duration<double>(Clock::now() - started).count();
    double simsCpu = 0;
    for (auto& s : sims)
        simsCpu += s->Stop();
    for (auto& s : extras)
        simsCpu += s->Stop();

    TRunFigures run;
    run.complete = complete;
    run.minEfficiency = 1e9;
    std::vector<double> all;
    double line = 0;
    for (const auto& s : sims) {
        const TPortFigures f = PortFigures(*s);
        if (f.wall <= 0) {
            run.complete = false;
            continue;
        }
        run.minEfficiency = std::min(run.minEfficiency, f.line / f.wall);
        run.throughput += f.line / f.wall;
        line += f.line;
        all.insert(all.end(), f.turnarounds.begin(), f.turnarounds.end());
        run.worstP99 = std::max(run.worstP99, Quantile(f.turnarounds, 0.99));
    }
    run.median = Quantile(all, 0.5);
    run.p99 = Quantile(all, 0.99);
    run.cpuPerLineSecond = line > 0 ? usage.cpu / line : 0;
    run.wall = wall;
    run.cpuShare = wall > 0 ? usage.cpu / wall : 0;
    run.simsShare = wall > 0 ? simsCpu / wall : 0;
    run.peakKiB = usage.peakKiB;
    run.watched = watched;
    return run;
}

// The machine's 1-minute load average: the figures mean little beside a busy
// neighbour, and the reader should see it.
std::string LoadAverage()
{
    std::ifstream in("/proc/loadavg");
    std::string first;
    in >> first;
    return first;
}

std::vector<std::size_t> PortCounts(const std::string& list)
{
    std::vector<std::size_t> counts;
    std::stringstream in(list);
    for (std::string item; std::getline(in, item, ',');)
        counts.push_back(std::stoul(item));
    return counts;
}

} // namespace

int main(int argc, char** argv)
{
    bool quick = false;
    // Only the last row, with the busy ports: the one to profile.
    bool busyOnly = false;
    bool noBusy = false;
    std::vector<std::size_t> counts = {1, 4, 16, 32, 64};
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--quick")
            quick = true;
        else if (arg == "--ports" && i + 1 < argc)
            counts = PortCounts(argv[++i]);
        else if (arg == "--busy-only")
            busyOnly = true;
        else if (arg == "--keep")
            gKeep = true;
        else if (arg == "--no-busy")
            noBusy = true;
        else {
            std::fprintf(stderr, "usage: qr740-gang-bench [--quick] [--ports 1,4,16,32,64] [--busy-only | --no-busy] [--keep]\n");
            return 2;
        }
    }
    if (quick)
        counts = {1, 2};
    const std::size_t blocks = quick ? 8 : 256; // 64 KiB in full, no block blank
    const fs::path bin = fs::read_symlink("/proc/self/exe").parent_path();

    std::printf("qr740-gang-bench%s: figures, not verdicts; %zu blocks of 256 bytes a port, paced at 9600 baud\n\n",
                quick ? " --quick" : "", blocks);
    std::printf("| %-34s | %-10s | %-10s | %-22s | %-9s | %-14s | %-9s |\n", "run", "efficiency", "throughput",
                "turnaround median/p99", "worst p99", "CPU/port/line s", "peak RSS");
    std::printf("|%s|%s|%s|%s|%s|%s|%s|\n", std::string(36, '-').c_str(), std::string(12, '-').c_str(),
                std::string(12, '-').c_str(), std::string(24, '-').c_str(), std::string(11, '-').c_str(),
                std::string(16, '-').c_str(), std::string(11, '-').c_str());
    double single = 0;
    std::vector<std::pair<std::string, std::pair<std::size_t, TMode>>> runs;
    for (const std::size_t n : counts) {
        if (busyOnly)
            break;
        runs.push_back({std::to_string(n) + (n == 1 ? " port, one process" : " ports, one process"),
                        {n, TMode::OneProcess}});
        // Beyond 16 the comparison with a process a port is left out: it
        // only grows by a whole program a port (about 18 MiB), and 64 of them
        // would crowd out what is measured on a small machine.
        if (n > 1 && n <= 16)
            runs.push_back({std::to_string(n) + " ports, " + std::to_string(n) + " processes", {n, TMode::Processes}});
    }
    // The busy row keeps 16 quiet ports where 16 is asked for, to compare with
    // the quiet row of the same width.
    const std::size_t busy = std::find(counts.begin(), counts.end(), 16) != counts.end() ? 16 : counts.back();
    if (!noBusy)
        runs.push_back({std::to_string(busy) + " ports + 3 busy, one process", {busy, TMode::Busy}});
    struct TDone {
        std::string name;
        TRunFigures figures;
        std::string loadBefore, loadAfter;
    };
    std::vector<TDone> done;
    for (const auto& [name, what] : runs) {
        const auto [n, mode] = what;
        const std::string loadBefore = LoadAverage();
        const TRunFigures f = RunGang(bin, n, blocks, mode);
        done.push_back({name, f, loadBefore, LoadAverage()});
        if (n == 1 && mode == TMode::OneProcess)
            single = f.throughput;
        // Against one port's where it was measured, else against the line.
        const double reference = single > 0 ? single : 1.0;
        char efficiency[32], throughput[32], turnaround[48], worst[32], cpu[32], rss[32];
        std::snprintf(efficiency, sizeof efficiency, "%.4f", f.minEfficiency);
        std::snprintf(throughput, sizeof throughput, "%.4f", f.throughput / (double(n) * reference));
        std::snprintf(turnaround, sizeof turnaround, "%.3f / %.3f ms", f.median * 1e3, f.p99 * 1e3);
        std::snprintf(worst, sizeof worst, "%.3f ms", f.worstP99 * 1e3);
        std::snprintf(cpu, sizeof cpu, "%.3f%%", f.cpuPerLineSecond * 100);
        std::snprintf(rss, sizeof rss, "%.1f MiB", double(f.peakKiB) / 1024);
        std::printf("| %-34s | %-10s | %-10s | %-22s | %-9s | %-14s | %-9s |%s\n", name.c_str(), efficiency,
                    throughput, turnaround, worst, cpu, rss, f.complete ? "" : " (incomplete)");
        std::fflush(stdout);
    }

    // Where the processor time went, and what the one process held.
    std::printf("\n| %-34s | %-7s | %-11s | %-11s | %-26s | %-9s | %-7s | %-15s |\n", "run", "wall",
                "programmer", "simulators", "event threads/main/other", "peak fds", "threads", "load before/after");
    std::printf("|%s|%s|%s|%s|%s|%s|%s|%s|\n", std::string(36, '-').c_str(), std::string(9, '-').c_str(),
                std::string(13, '-').c_str(), std::string(13, '-').c_str(), std::string(28, '-').c_str(),
                std::string(11, '-').c_str(), std::string(9, '-').c_str(), std::string(17, '-').c_str());
    for (const TDone& d : done) {
        const TRunFigures& f = d.figures;
        const TWatched& w = f.watched;
        const bool one = w.peakThreads > 0;
        char wall[32], programmer[32], sims[32], split[64], fds[32], threads[32], load[48];
        std::snprintf(wall, sizeof wall, "%.1f s", f.wall);
        std::snprintf(programmer, sizeof programmer, "%.2f%%", f.cpuShare * 100);
        std::snprintf(sims, sizeof sims, "%.2f%%", f.simsShare * 100);
        if (one)
            std::snprintf(split, sizeof split, "%.2f / %.2f / %.2f s", w.eventThreadsCpu, w.mainCpu, w.otherCpu);
        else
            std::snprintf(split, sizeof split, "-");
        std::snprintf(fds, sizeof fds, one ? "%zu" : "-", w.peakDescriptors);
        std::snprintf(threads, sizeof threads, one ? "%zu" : "-", w.peakThreads);
        std::snprintf(load, sizeof load, "%s / %s", d.loadBefore.c_str(), d.loadAfter.c_str());
        std::printf("| %-34s | %-7s | %-11s | %-11s | %-26s | %-9s | %-7s | %-15s |\n", d.name.c_str(), wall,
                    programmer, sims, split, fds, threads, load);
    }
    std::printf("\nefficiency: the lowest of the ports; throughput: over all ports, against N times one port's;\n"
                "CPU/port/line s: processor time per port per second of line time (%% of a core);\n"
                "peak RSS: of the one process, or summed over the N processes;\n"
                "programmer, simulators: processor time over the run's wall time, in %% of one core;\n"
                "event threads/main/other: the one process's processor time by thread (other: the journal's);\n"
                "peak fds, threads: of the one process; load: the machine's 1-minute load average.\n");
    return 0;
}
