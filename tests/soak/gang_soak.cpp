// qr740-gang-soak: the window's gang view on several ports against simulated
// controllers, every port reset after each of its controllers as a technician
// clearing a tile would, until the controllers counted reach a given number.
// One port's controller refuses a block every time, so that failures go round
// as well. Prints the view's resident memory, open descriptors and threads at
// the start, in the middle and at the end, each taken with every port stopped
// so that the three are taken alike; exits 1 when the descriptors or threads
// do not come back to their level, when a controller goes without a record,
// or when the run does not end in time.
//
//   qr740-gang-soak [--sessions N] [--ports N]
//
// The simulated controllers are programs of their own (qr740-sim, beside this
// one), so that the figures are the view's alone.

#include "gangview.h"
#include "journal.h"

#include "../app/recording_sink.h"

#include <child_process.h>
#include <scratch_dir.h>
#include <wait.h>

#include <QApplication>
#include <QFile>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

constexpr int kBlocks = 16;
constexpr std::uint32_t kFlashStart = 0x4000;
// Far longer than any controller here takes (a second or two): a run past it
// has a port that stopped going round.
constexpr auto kRunLimit = 10min;

struct TFigures {
    long rssKiB = 0;
    int descriptors = 0;
    int threads = 0;
};

TFigures MeasureOnce()
{
    TFigures f;
    std::error_code ec;
    for (auto it = fs::directory_iterator("/proc/self/fd", ec); !ec && it != fs::directory_iterator();
         it.increment(ec))
        ++f.descriptors;
    for (auto it = fs::directory_iterator("/proc/self/task", ec); !ec && it != fs::directory_iterator();
         it.increment(ec))
        ++f.threads;
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0)
            f.rssKiB = std::stol(line.substr(6));
    }
    return f;
}

// The least of a few looks: the journal's thread opens the file for a moment
// to count the day, which one look may catch; a leak raises the least.
TFigures Measure()
{
    TFigures least = MeasureOnce();
    for (int i = 0; i < 4; ++i) {
        RunEventsFor(100ms);
        const TFigures f = MeasureOnce();
        least = {std::min(least.rssKiB, f.rssKiB), std::min(least.descriptors, f.descriptors),
                 std::min(least.threads, f.threads)};
    }
    return least;
}

int Controllers(const TfmGang& view)
{
    int n = 0;
    for (const TGangTile* tile : view.Tiles())
        n += tile->Programmed + tile->Failed;
    return n;
}

} // namespace

int main(int argc, char** argv)
{
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    int sessions = 100;
    int ports = 4;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if ((arg == "--sessions" || arg == "--ports") && i + 1 < argc)
            (arg == "--sessions" ? sessions : ports) = std::atoi(argv[++i]);
        else {
            std::fprintf(stderr, "usage: %s [--sessions N] [--ports 1..10]\n", argv[0]);
            return 2;
        }
    }
    if (sessions < 2 || ports < 1 || ports > 10) {
        std::fprintf(stderr, "%s: --sessions from 2, --ports from 1 to 10\n", argv[0]);
        return 2;
    }

    ScratchDir dir;
    std::vector<char> image(kBlocks * 256);
    for (std::size_t i = 0; i < image.size(); ++i)
        image[i] = char(i * 7);
    std::ofstream(dir / "FW00303.bin", std::ios::binary).write(image.data(), std::streamsize(image.size()));
    dir.WriteFile("qr740.ldr", std::string(512, 'L'));
    dir.WriteFile("soak.par", "000=25\n102 7\n");
    std::string mapped;
    for (int p = 1; p <= ports; ++p)
        mapped += "COM" + std::to_string(p) + "=" + (dir / ("tty" + std::to_string(p))).string() + "\n";
    dir.WriteFile("Loader.ini", "[Ports]\n" + mapped +
                                    "[Binary]\nQR 740=FW00303\n[Loader]\nQR740=qr740.ldr\n"
                                    "[Load Parameters]\nParameter File=soak\n");

    const fs::path bin = fs::read_symlink("/proc/self/exe").parent_path();
    std::vector<std::unique_ptr<ChildProcess>> sims;
    for (int p = 1; p <= ports; ++p) {
        std::vector<std::string> args = {"--link", (dir / ("tty" + std::to_string(p))).string(), "--quiet-ms", "300",
                                         "--flash-end", std::to_string(kFlashStart + kBlocks * 256)};
        if (p == 2)
            args.insert(args.end(), {"--fault", "nak-block:2"});
        sims.push_back(std::make_unique<ChildProcess>((bin / "qr740-sim").string(), args, "/dev/null"));
        if (!WaitUntil([&] { return fs::is_symlink(dir / ("tty" + std::to_string(p))); }, 10s)) {
            std::fprintf(stderr, "qr740-gang-soak: the simulated controller on port %d did not start\n", p);
            return 1;
        }
    }

    TRecordingSink boxes;
    TGangEnvironment environment;
    environment.folder = QString::fromStdString(dir.Path().string());
    environment.timing.ResetPause = 3ms;
    environment.timing.RestartPause = 2ms;
    environment.timing.ParameterPortPause = 1ms;
    environment.timing.Reply = 2000ms;
    environment.devices = [] { return std::vector<TSerialPort>{}; };
    auto view = std::make_unique<TfmGang>(std::move(environment));
    view->show();
    if (int(view->Tiles().size()) != ports) {
        std::fprintf(stderr, "qr740-gang-soak: %zu tiles for %d ports\n", view->Tiles().size(), ports);
        return 1;
    }

    const auto started = std::chrono::steady_clock::now();
    // Every port stopped, and the journal given time to answer for the
    // controllers cut off: the state each figure is taken in.
    const auto stoppedFigures = [&] {
        view->StopAll();
        RunEventsFor(300ms);
        return Measure();
    };
    // Runs until `target` controllers are counted, resetting each port after
    // each of its own.
    std::vector<int> seen(std::size_t(ports), 0);
    const auto runTo = [&](int target) {
        view->StartAll();
        return WaitUntil([&] {
            for (std::size_t i = 0; i < seen.size(); ++i) {
                TGangTile& tile = *view->Tiles()[i];
                const int now = tile.Programmed + tile.Failed;
                if (now != seen[i]) {
                    seen[i] = now;
                    view->ResetPort(tile);
                }
            }
            return Controllers(*view) >= target;
        }, std::chrono::duration_cast<std::chrono::milliseconds>(kRunLimit - (std::chrono::steady_clock::now() - started)));
    };
    const auto print = [&](const char* when, const TFigures& f) {
        std::printf("%-6s controllers %4d  RSS %6ld KiB  descriptors %3d  threads %3d\n", when, Controllers(*view),
                    f.rssKiB, f.descriptors, f.threads);
        std::fflush(stdout);
    };

    // The first controllers warm the caches and the journal up.
    bool ended = runTo(ports);
    const TFigures start = stoppedFigures();
    print("start", start);
    ended = ended && runTo(sessions / 2);
    const TFigures middle = stoppedFigures();
    print("middle", middle);
    ended = ended && runTo(sessions);
    const TFigures end = stoppedFigures();
    print("end", end);

    int tileProgrammed = 0;
    int tileCounted = Controllers(*view);
    for (const TGangTile* tile : view->Tiles())
        tileProgrammed += tile->Programmed;
    view->close();
    view.reset();
    sims.clear();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    const auto records = TJournal(dir / "journal.sqlite").Records();
    int programmed = 0;
    for (const TJournalRecord& r : records)
        programmed += r.Outcome == "programmed with parameters";
    std::printf("%d controllers on %d ports in %.1f s: %d programmed; %zu records, %d of them programmed; "
                "journal %ju KiB\n",
                tileCounted, ports, seconds, tileProgrammed, records.size(), programmed,
                std::uintmax_t(fs::file_size(dir / "journal.sqlite") / 1024));

    int status = 0;
    const auto breach = [&](const std::string& text) {
        std::printf("qr740-gang-soak: %s\n", text.c_str());
        status = 1;
    };
    if (!ended)
        breach("the controllers did not reach " + std::to_string(sessions) + " in time");
    // Controllers counted on the tiles came back from the journal; those cut
    // off by the last Stop are recorded too, after the count was read.
    if (int(records.size()) < tileCounted)
        breach("fewer records than controllers counted");
    if (programmed != tileProgrammed)
        breach("the records' programmed controllers are not the tiles'");
    // One wake-up descriptor of a thread's event loop comes and goes between
    // figures taken seconds apart, so the level is held to within two: a
    // session or a controller that kept one would be dozens above.
    constexpr int kSlack = 2;
    if (middle.descriptors > start.descriptors + kSlack || end.descriptors > start.descriptors + kSlack)
        breach("open descriptors did not come back to their level");
    if (middle.threads != start.threads || end.threads != start.threads)
        breach("threads did not come back to their level");
    if (!boxes.boxes.empty())
        breach("a box was shown: " + boxes.Texts().front());
    return status;
}
