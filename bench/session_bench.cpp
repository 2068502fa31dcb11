// Figures for the whole programmer against the line's physical limit: how much
// of the line a paced session uses, how long the programmer takes to answer a
// reply, how uploads grow with the image, what waiting costs, and how fast the
// window comes up. Prints a table; nothing here passes or fails on time.
//
//   qr740-bench [--quick]
//
// Every figure is taken in a process of its own (this program started again
// with --child), so that one measurement's memory and threads do not colour the
// next; the simulated controller runs as its own program too.

#include "loader.h"
#include "loadersession.h"
#include "programmerport.h"

#include <pty_pair.h>
#include <scratch_dir.h>
#include <vacomm.h>
#include <wait.h>

#include <QApplication>
#include <QLabel>
#include <QWindow>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
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
constexpr double kBitsPerByte = 10; // start, eight data bits, stop

double LineSeconds(double bytes)
{
    return bytes * kBitsPerByte / kBaud;
}

double Seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

double CpuSeconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

long PeakKiB()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

long ResidentKiB()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    }
    return 0;
}

std::string SelfPath()
{
    return fs::read_symlink("/proc/self/exe").string();
}

// Runs a program to its end with its output in `output`; its exit status
// (-1 when it did not start or was killed) and, when asked, the processor time
// it used.
int Run(const std::vector<std::string>& args, const fs::path& output, double* cpuSeconds = nullptr)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int error = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0)
        return -1;
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    if (cpuSeconds) {
        const auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
        *cpuSeconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The simulated controller as a program of its own, for as long as it lives.
class TSimProcess {
public:
    TSimProcess(const fs::path& sim, const fs::path& link, const std::vector<std::string>& options,
                const fs::path& transcript)
        : link_(link)
    {
        std::vector<std::string> args = {sim.string(), "--link", link.string()};
        args.insert(args.end(), options.begin(), options.end());
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, transcript.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        std::vector<char*> argv;
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        const auto deadline = Clock::now() + 10s;
        while (!fs::is_symlink(link_) && Clock::now() < deadline)
            std::this_thread::sleep_for(10ms); // a separate program: nothing to wait on but its link
    }
    ~TSimProcess()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    TSimProcess(const TSimProcess&) = delete;
    TSimProcess& operator=(const TSimProcess&) = delete;

private:
    fs::path link_;
    pid_t pid_ = -1;
};

// An image of `blocks` 256-byte blocks; one in `blankEvery` is blank when
// `blankEvery` is positive, all but one in -`blankEvery` when it is negative.
void WriteImage(const fs::path& path, std::size_t blocks, int blankEvery)
{
    std::vector<char> image(blocks * 256);
    for (std::size_t i = 0; i < blocks; ++i) {
        const bool blank = blankEvery > 0 ? i % std::size_t(blankEvery) == 0
                                          : i % std::size_t(-blankEvery) != 0;
        for (std::size_t k = 0; k < 256; ++k)
            image[i * 256 + k] = blank ? char(0xFF) : char((i * 31 + k) & 0x7F);
    }
    std::ofstream(path, std::ios::binary).write(image.data(), std::streamsize(image.size()));
}

// A front end that programs automatically and shows nothing.
class TQuietView : public TSessionHost, public TSessionListener {
public:
    void StatusChanged(TSessionStatus, const QString& text) override { state = text; }
    void ShowError(const QString& text) override { error = text; }
    void ShowPortError(const QString& text) override { error = text; }
    bool AutoProgram() const override { return true; }
    QString ImageFolder() const override { return folder; }
    QString ImageName() const override { return QStringLiteral("image"); }
    QString ImageExtension() const override { return QStringLiteral(".bin"); }
    QString ParameterFolder() const override { return folder; }
    QString ParameterName() const override { return {}; }
    QString ParameterExtension() const override { return QStringLiteral(".par"); }
    QString LoaderFor(const std::string&) const override { return QStringLiteral("bench.ldr"); }
    QString ProgramFolder() const override { return folder; }

    QString folder;
    QString state;
    QString error;
};

void OpenLikeTheWindow(TVaComm& port, const fs::path& device)
{
    SetUpProgrammerPort(port);
    port.SetDeviceName(device.string());
    port.Open();
}

// A whole session, handshake to "Flash Update Complete", on `link`; its wall
// time, or a negative value when it did not complete.
double ProgramThrough(const fs::path& folder, const fs::path& link, std::chrono::seconds limit)
{
    TVaComm port;
    TQuietView view;
    view.folder = QString::fromStdString(folder.string() + "/");
    TLoaderSession session(port, view, view);
    OpenLikeTheWindow(port, link);
    session.SetStage(WaitingForTarget);
    const auto start = Clock::now();
    WaitUntil([&] { return view.state == QStringLiteral("Flash Update Complete") || !view.error.isEmpty(); },
              limit);
    const double seconds = Seconds(Clock::now() - start);
    return view.state == QStringLiteral("Flash Update Complete") ? seconds : -1;
}

// ---------------------------------------------------------------- children
// Each prints "key value" lines for the parent to read.

// The line time of what crossed a paced line from the erase request to the last
// block's reply, and the wall time the simulator saw for it, from its
// transcript. The simulator stamps a request when its last byte has crossed the
// line and a reply when it is queued, before its first byte does.
struct TWireFigures {
    std::size_t blocks = 0;
    double line = 0;
    double wall = -1;
};

TWireFigures WireFromTranscript(const fs::path& transcript)
{
    double eraseReceived = -1;
    double lastReplyQueued = -1;
    TWireFigures figures;
    std::ifstream in(transcript);
    for (std::string line; std::getline(in, line);) {
        const double at = std::atof(line.c_str() + 1);
        if (line.find("<- frame 'E'") != std::string::npos)
            eraseReceived = at;
        if (line.find("-> frame 'P'") != std::string::npos) {
            lastReplyQueued = at;
            ++figures.blocks;
        }
    }
    const double replyBytes = 15;
    const double eraseBytes = 15;
    figures.line = LineSeconds(eraseBytes + replyBytes + double(figures.blocks) * (270 + replyBytes));
    if (eraseReceived >= 0 && lastReplyQueued >= 0)
        figures.wall = (lastReplyQueued + LineSeconds(replyBytes)) - (eraseReceived - LineSeconds(eraseBytes));
    return figures;
}

// A folder qr740-flash programs from: the image, a loader, and a Loader.ini that
// maps COM1 to `link`.
void LayOutForFlash(const ScratchDir& dir, const fs::path& link)
{
    // QR740 is the simulator's identification, QR the played loader's.
    dir.WriteFile("Loader.ini", "[Ports]\nCOM1=" + link.string() +
                                    "\n[Binary]\nQR 740=image\n[Loader]\nQR740=bench.ldr\nQR=bench.ldr\n");
}

// Runs qr740-flash to its end; its exit status and the processor time it used.
int RunFlash(const fs::path& flash, const std::vector<std::string>& options, const fs::path& output,
             double& cpuSeconds)
{
    std::vector<std::string> args = {flash.string()};
    args.insert(args.end(), options.begin(), options.end());
    return Run(args, output, &cpuSeconds);
}

// A paced session through the session core as the window runs it, or through
// qr740-flash; the line and wall time of the programming.
int ChildWire(const fs::path& sim, std::size_t blocks, bool flash)
{
    ScratchDir dir;
    WriteImage(dir / "image.bin", blocks, 4);
    dir.WriteFile("bench.ldr", std::string(64, 'L'));
    const fs::path transcript = dir / "transcript.txt";
    double cpu = 0;
    {
        TSimProcess simulator(sim, dir / "tty",
                              {"--pace", "--flash-end", std::to_string(0x4000 + blocks * 256)},
                              transcript);
        if (flash) {
            LayOutForFlash(dir, dir / "tty");
            const fs::path program = fs::path(SelfPath()).parent_path() / "qr740-flash";
            if (RunFlash(program, {"--folder", dir.Path().string(), "--quiet"}, dir / "flash.txt", cpu) != 0)
                return 1;
        } else if (ProgramThrough(dir.Path(), dir / "tty", 600s) < 0) {
            return 1;
        }
    }
    const TWireFigures f = WireFromTranscript(transcript);
    std::printf("blocks %zu\nline %.3f\nwall %.3f\ncpu %.3f\n", f.blocks, f.line, f.wall, cpu);
    return f.wall < 0;
}

// The loader played by a thread of this process on a raw pseudo-terminal: how
// long the programmer takes from a reply's last byte to the next request's first.
class TPlayedLoader {
public:
    TPlayedLoader(int master, std::size_t blocks) : fd_(master), blocks_(blocks) {}

    void Play()
    {
        // Announced again and again, as a boot ROM does, until it is answered:
        // a programmer started as a program of its own opens the line later.
        // Nothing is announced while nobody has the line open (the master then
        // reports a hang-up), or the announcements would pile up for it.
        for (;;) {
            if (stop_)
                return;
            pollfd p{fd_, POLLIN, 0};
            ::poll(&p, 1, 0);
            if (p.revents & POLLHUP) {
                std::this_thread::sleep_for(20ms);
                continue;
            }
            if (p.revents & POLLIN)
                break;
            Write({0x06, 0x15});
            if (::poll(&p, 1, 250) > 0 && (p.revents & POLLIN))
                break;
        }
        ReadCount(3); // "APL"
        Write({'Q', 'R', 0x06});
        ReadCount(2 + 1 + 2); // the one-byte loader, its length and its CRC
        Write(EncodeLinkFrame('L', 0, std::vector<std::uint8_t>{'B'}));
        ReadFrame();
        const std::uint32_t end = 0x4000 + std::uint32_t(blocks_ * 256);
        Write(EncodeLinkFrame('V', 0x4000,
                              std::vector<std::uint8_t>{0x2F, 0x01, std::uint8_t(end), std::uint8_t(end >> 8),
                                                        std::uint8_t(end >> 16), std::uint8_t(end >> 24), 0,
                                                        0x00, 0x01}));
        for (;;) {
            const std::uint8_t command = ReadFrame();
            if (command == 0)
                return;
            Write(EncodeLinkFrame(command, 0, std::vector<std::uint8_t>{0x06}));
            replied_ = Clock::now();
            timeNext_ = command == 'P' || command == 'E';
        }
    }
    void Stop() { stop_ = true; }

    std::vector<double> gaps;

private:
    // Writes the bytes; gives up when the line is not open at the other end.
    void Write(const std::vector<std::uint8_t>& bytes)
    {
        for (std::size_t done = 0; done < bytes.size() && !stop_;) {
            const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
            if (n > 0)
                done += std::size_t(n);
            else if (n < 0 && errno != EAGAIN && errno != EINTR)
                return;
        }
    }
    // Some bytes, or none once stopped.
    std::size_t ReadSome()
    {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0)
                continue;
            const ssize_t n = ::read(fd_, buffer_, sizeof buffer_);
            if (n > 0)
                return std::size_t(n);
        }
        return 0;
    }
    void ReadCount(std::size_t count)
    {
        for (std::size_t got = 0; got < count && !stop_;)
            got += ReadSome();
    }
    // The command of the next request, or 0 once stopped.
    std::uint8_t ReadFrame()
    {
        TLinkReceiver receiver;
        for (bool first = true; !stop_; first = false) {
            const std::size_t n = ReadSome();
            if (first && timeNext_ && n > 0)
                gaps.push_back(Seconds(Clock::now() - replied_));
            for (std::size_t i = 0; i < n; ++i) {
                if (receiver.Feed(buffer_[i]) != TLinkReceiver::TResult::Pending)
                    return receiver.RxCommand;
            }
        }
        return 0;
    }

    int fd_;
    std::size_t blocks_;
    std::atomic<bool> stop_{false};
    std::uint8_t buffer_[4096];
    Clock::time_point replied_{};
    bool timeNext_ = false;
};

int ChildTurnaround(std::size_t blocks, bool flash)
{
    ScratchDir dir;
    WriteImage(dir / "image.bin", blocks, 0x7FFFFFFF);
    dir.WriteFile("bench.ldr", "L");
    PtyPair pty(dir / "tty");
    if (flash)
        pty.ReleaseSlave();
    TPlayedLoader loader(pty.MasterFd(), blocks);
    std::thread thread([&] { loader.Play(); });
    bool done = false;
    if (flash) {
        LayOutForFlash(dir, dir / "tty");
        double cpu = 0;
        const fs::path program = fs::path(SelfPath()).parent_path() / "qr740-flash";
        done = RunFlash(program, {"--folder", dir.Path().string(), "--quiet"}, dir / "flash.txt", cpu) == 0;
        if (!done)
            std::printf("%s", dir.ReadFile("flash.txt").c_str());
    } else {
        done = ProgramThrough(dir.Path(), dir / "tty", 600s) >= 0;
    }
    loader.Stop();
    thread.join();
    std::vector<double> gaps = loader.gaps;
    if (!done || gaps.empty())
        return 1;
    std::sort(gaps.begin(), gaps.end());
    const auto at = [&](double q) { return gaps[std::min(gaps.size() - 1, std::size_t(q * double(gaps.size())))]; };
    std::printf("requests %zu\nmedian %.6f\np99 %.6f\nmax %.6f\n", gaps.size(), at(0.5), at(0.99),
                gaps.back());
    return 0;
}

// An unpaced upload of `blocks` blocks; its wall time and the process's peak
// memory (the simulated controller runs apart).
int ChildGrowth(const fs::path& sim, std::size_t blocks, int blankEvery)
{
    ScratchDir dir;
    WriteImage(dir / "image.bin", blocks, blankEvery);
    dir.WriteFile("bench.ldr", std::string(64, 'L'));
    const long before = PeakKiB();
    TSimProcess simulator(sim, dir / "tty", {"--flash-end", std::to_string(0x4000 + blocks * 256)},
                          dir / "transcript.txt");
    const double seconds = ProgramThrough(dir.Path(), dir / "tty", 1200s);
    std::printf("seconds %.3f\npeak %ld\nbase %ld\n", seconds, PeakKiB(), before);
    return seconds < 0;
}

// The processor time the programmer spends while nothing happens: waiting for a
// target, then with its adapter hung up.
int ChildIdle(std::chrono::seconds period)
{
    ScratchDir dir;
    PtyPair pty(dir / "tty");
    pty.ReleaseSlave();
    TVaComm port;
    TQuietView view;
    TLoaderSession session(port, view, view);
    OpenLikeTheWindow(port, dir / "tty");
    session.SetStage(WaitingForTarget);
    RunEventsFor(200ms); // settle
    double cpu = CpuSeconds();
    RunEventsFor(period);
    std::printf("waiting %.6f\n", (CpuSeconds() - cpu) / double(period.count()));
    pty.HangUp();
    RunEventsFor(200ms); // the hang-up is reported once; not part of the idle cost
    cpu = CpuSeconds();
    RunEventsFor(period);
    std::printf("hungup %.6f\n", (CpuSeconds() - cpu) / double(period.count()));
    return 0;
}

// The real window: from the moment the parent started this process to the
// window shown; then a whole session, and the memory it leaves resident.
int ChildWindow(const fs::path& sim, std::int64_t spawnedNs)
{
    ScratchDir dir;
    WriteImage(dir / "image.bin", 256, 4);
    dir.WriteFile("bench.ldr", std::string(64, 'L'));
    dir.WriteFile("Loader.ini", "[Ports]\nCOM1=" + (dir / "tty").string() +
                                    "\n[Auto Mode]\nAuto=1\n[Binary]\nQR 740=image\n"
                                    "[Loader]\nQR740=bench.ldr\n");
    TSimProcess simulator(sim, dir / "tty", {"--flash-end", std::to_string(0x4000 + 256 * 256)},
                          dir / "transcript.txt");
    int argc = 1;
    char name[] = "qr740-bench";
    char* argv[] = {name, nullptr};
    QApplication app(argc, argv);
    TLoaderEnvironment environment;
    environment.folder = QString::fromStdString(dir.Path().string());
    TfmLoader window(environment);
    window.show();
    WaitUntil([&] { return window.windowHandle() && window.windowHandle()->isExposed(); }, 10s);
    const std::int64_t shownNs =
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
    std::printf("startup %.6f\n", double(shownNs - spawnedNs) / 1e9);
    const bool complete = WaitUntil(
        [&] { return window.lState->text() == QStringLiteral("Flash Update Complete"); }, 120s);
    std::printf("resident %ld\ncomplete %d\n", ResidentKiB(), int(complete));
    return complete ? 0 : 1;
}

// ---------------------------------------------------------------- parent

std::map<std::string, double> Measure(const std::vector<std::string>& childArgs,
                                      const fs::path& scratch, const char* what)
{
    std::vector<std::string> args = {SelfPath(), "--child"};
    args.insert(args.end(), childArgs.begin(), childArgs.end());
    const fs::path output = scratch / "child.txt";
    const int status = Run(args, output);
    std::map<std::string, double> figures;
    std::ifstream in(output);
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::string key;
        double value = 0;
        if (words >> key >> value)
            figures[key] = value;
    }
    if (status != 0) {
        std::fprintf(stderr, "qr740-bench: %s did not complete; its output:\n", what);
        std::ifstream again(output);
        std::fprintf(stderr, "%s\n", std::string(std::istreambuf_iterator<char>(again), {}).c_str());
    }
    return figures;
}

void Row(const char* what, const std::string& figure, const std::string& goal)
{
    std::printf("| %-70s | %-26s | %-14s |\n", what, figure.c_str(), goal.c_str());
}

std::string Format(const char* format, double a, double b = 0, double c = 0)
{
    char text[128];
    std::snprintf(text, sizeof text, format, a, b, c);
    return text;
}

int Parent(bool quick)
{
    const fs::path sim = fs::path(SelfPath()).parent_path() / "qr740-sim";
    ScratchDir scratch;
    std::printf("qr740-bench%s: figures, not verdicts\n\n", quick ? " --quick" : "");
    std::printf("| %-70s | %-26s | %-14s |\n", "measure", "figure", "goal");
    std::printf("|%s|%s|%s|\n", std::string(72, '-').c_str(), std::string(28, '-').c_str(),
                std::string(16, '-').c_str());

    for (const bool flash : {false, true}) {
        const std::size_t blocks = quick ? 16 : 256; // 64 KiB in full
        const char* who = flash ? "qr740-flash" : "window's core";
        auto f = Measure({"wire", sim.string(), std::to_string(blocks), flash ? "flash" : "core"}, scratch.Path(),
                         "wire");
        if (f.count("wall"))
            Row((Format("Wire efficiency, %.0f KiB paced at 9600 baud", double(blocks) / 4) + " (" + who + ")")
                    .c_str(),
                Format("%.4f (%.1f s line / %.1f s)", f["line"] / f["wall"], f["line"], f["wall"]),
                ">= 0.99");
    }
    for (const bool flash : {false, true}) {
        const std::size_t blocks = quick ? 64 : 4096;
        const char* who = flash ? "qr740-flash" : "window's core";
        auto f = Measure({"turnaround", std::to_string(blocks), flash ? "flash" : "core"}, scratch.Path(),
                         "turnaround");
        if (f.count("median"))
            Row((Format("Turnaround, reply to next request (%.0f requests)", f["requests"]) + " (" + who + ")").c_str(),
                Format("median %.3f ms, p99 %.3f ms", f["median"] * 1e3, f["p99"] * 1e3),
                "< 0.3 / < 2 ms");
    }
    const std::vector<std::pair<std::size_t, const char*>> sizes =
        quick ? std::vector<std::pair<std::size_t, const char*>>{{256, "64 KiB"}}
              : std::vector<std::pair<std::size_t, const char*>>{
                    {256, "64 KiB"}, {4096, "1 MiB"}, {65536, "16 MiB"}};
    for (const auto& [blocks, name] : sizes) {
        for (const int blank : {4, -64}) {
            auto f = Measure({"growth", sim.string(), std::to_string(blocks), std::to_string(blank)},
                             scratch.Path(), "growth");
            if (!f.count("seconds"))
                continue;
            const std::string what = std::string("Unpaced upload, ") + name +
                                     (blank > 0 ? ", a quarter blank" : ", 1 block in 64 written");
            Row(what.c_str(), Format("%.2f s, peak %.1f MiB", f["seconds"], f["peak"] / 1024.0),
                "linear");
        }
    }
    {
        const int seconds = quick ? 2 : 30;
        auto f = Measure({"idle", std::to_string(seconds)}, scratch.Path(), "idle");
        if (f.count("waiting")) {
            Row(Format("Idle CPU over %.0f s, waiting for a target", seconds).c_str(),
                Format("%.3f%% of a core", f["waiting"] * 100), "< 0.5%");
            Row(Format("Idle CPU over %.0f s, adapter hung up", seconds).c_str(),
                Format("%.3f%% of a core", f["hungup"] * 100), "< 0.5%");
        }
    }
    // Offscreen always; on the desktop's own X server too where there is one.
    std::vector<std::string> platforms = {"offscreen"};
    if (const char* display = std::getenv("DISPLAY"); display && *display)
        platforms.push_back("xcb");
    for (const std::string& platform : platforms) {
        ::setenv("QT_QPA_PLATFORM", platform.c_str(), 1);
        const std::int64_t now =
            std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
        auto f = Measure({"window", sim.string(), std::to_string(now)}, scratch.Path(), "window");
        if (!f.count("startup"))
            continue;
        Row(("Start to window shown (" + platform + ")").c_str(), Format("%.0f ms", f["startup"] * 1e3),
            "< 300 ms");
        Row(("Resident memory after a whole session (" + platform + ")").c_str(),
            Format("%.1f MiB", f["resident"] / 1024.0), "< 60 MB");
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (!args.empty() && args[0] == "--child" && args.size() >= 2) {
        const std::string& mode = args[1];
        if (mode == "window")
            return ChildWindow(args.at(2), std::stoll(args.at(3)));
        QCoreApplication app(argc, argv);
        if (mode == "wire")
            return ChildWire(args.at(2), std::stoul(args.at(3)), args.at(4) == "flash");
        if (mode == "turnaround")
            return ChildTurnaround(std::stoul(args.at(2)), args.at(3) == "flash");
        if (mode == "growth")
            return ChildGrowth(args.at(2), std::stoul(args.at(3)), std::stoi(args.at(4)));
        if (mode == "idle")
            return ChildIdle(std::chrono::seconds(std::stoi(args.at(2))));
        return 2;
    }
    const bool quick = !args.empty() && args[0] == "--quick";
    return Parent(quick);
}
