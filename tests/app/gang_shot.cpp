// Renders the gang view at 1280x800, with the program's own painting, to a
// PNG:
//   app_gang_shot OUT.png [PORTS]
// PORTS (1 to 16, 4 unless given) simulated controllers, one of them refusing
// a block, so that the picture shows tiles programmed and failed as a bench
// sees them. [Ports] maps the first ten; the others are adapters no COM number
// opens, ticked as a technician would have left them.

#include "gangview.h"
#include "messages.h"
#include "scratch_dir.h"

#include "../sim/sim_runner.h"

#include <wait.h>

#include <QApplication>
#include <QPixmap>

#include <cstdio>
#include <cstdlib>
#include <fstream>

using namespace std::chrono_literals;

int main(int argc, char** argv)
{
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    const int count = argc == 3 ? std::atoi(argv[2]) : 4;
    if (argc < 2 || argc > 3 || count < 1 || count > 16) {
        std::fprintf(stderr, "usage: %s OUT.png [PORTS, 1 to 16]\n", argv[0]);
        return 2;
    }
    InstallApplicationExceptionReport();

    ScratchDir folder;
    std::vector<char> image(24 * 256);
    for (std::size_t i = 0; i < image.size(); ++i)
        image[i] = char(i * 13);
    std::ofstream(folder / "FW00303.bin", std::ios::binary).write(image.data(), std::streamsize(image.size()));
    folder.WriteFile("qr740.ldr", "a small target loader");
    folder.WriteFile("site.par", "000=25\n102 7\n");
    const auto device = [&](int i) { return (folder / ("ttyUSB" + std::to_string(i))).string(); };
    constexpr int kComNumbers = 10;
    std::string ports;
    std::string ticked;
    std::vector<TSerialPort> present;
    for (int i = 0; i < count; ++i) {
        if (i < kComNumbers)
            ports += "COM" + std::to_string(i + 1) + "=" + device(i) + "\n";
        else
            ticked += (ticked.empty() ? "" : ",") + device(i);
        present.push_back({.node = device(i)});
    }
    folder.WriteFile("Loader.ini", "[Software]\nNew Version=3.03\n"
                                   "[Binary]\nQR 740=FW00303\n"
                                   "[Load Parameters]\nParameter File=site\n"
                                   "[Loader]\nQR740=qr740.ldr\n"
                                   "[Gang]\nDevices=" + ticked + "\n"
                                   "[Ports]\n" + ports);
    std::vector<TSimRunner> sims(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        sim::Options options;
        options.link = folder / ("ttyUSB" + std::to_string(i));
        options.flashEnd = 0x4000 + 24 * 256;
        options.fwVersion = std::uint16_t(250 + i);
        options.quietPeriod = 60s; // one controller each: the picture holds still
        if (i == 2)
            sim::AddFault(options.faults, "nak-block:3");
        if (!sims[std::size_t(i)].Start(options)) {
            std::fprintf(stderr, "the simulated controller did not start\n");
            return 1;
        }
    }
    // The machine's own serial ports are no part of the picture's bench.
    TfmGang view(TGangEnvironment{.folder = QString::fromStdString(folder.Path().string()),
                                  .devices = [&] { return present; }});
    view.resize(1280, 800);
    view.show();
    WaitUntil([&] {
        for (const TGangTile* tile : view.Tiles()) {
            if (tile->Programmed + tile->Failed == 0)
                return false;
        }
        return true;
    }, 30s);
    RunEventsFor(300ms);
    if (!view.grab().save(QString::fromLocal8Bit(argv[1]))) {
        std::fprintf(stderr, "cannot write %s\n", argv[1]);
        return 1;
    }
    view.close();
    return 0;
}
