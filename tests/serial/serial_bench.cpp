// Prints figures for the port over a pseudo-terminal: the time from a byte
// entering the line to its OnRxChar handler, the receive rate through
// OnRxChar/ReadChar as the programmer reads, and the event thread's processor
// time while the line is idle. Nothing is asserted.

#include "vacomm.h"

#include "event_threads.h"

#include "pty_pair.h"
#include "scratch_dir.h"
#include "wait.h"

#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    ScratchDir dir;
    PtyPair pty(dir / "ttyQR");
    TVaComm port;
    port.SetDeviceName(pty.Link().string());
    port.SetBaudrate(br115200);
    port.SetFlowControl(fcNone);
    port.SetMonitorEvents({ceRxChar});
    std::size_t received = 0;
    Clock::time_point handled;
    port.OnRxChar = [&](TVaCustomComm* sender, std::int32_t count) {
        handled = Clock::now();
        std::uint8_t ch = 0;
        for (std::int32_t i = 0; i < count && sender->ReadChar(ch); ++i)
            ++received;
    };
    port.Open();

    constexpr int kRounds = 1000;
    std::vector<double> latencyUs;
    latencyUs.reserve(kRounds);
    for (int i = 0; i < kRounds; ++i) {
        const std::size_t before = received;
        const auto start = Clock::now();
        pty.Write({std::uint8_t(i)});
        WaitUntil([&] { return received > before; });
        latencyUs.push_back(std::chrono::duration<double, std::micro>(handled - start).count());
    }
    std::sort(latencyUs.begin(), latencyUs.end());
    std::printf("byte to OnRxChar: median %.0f us, p99 %.0f us, max %.0f us (%d rounds)\n",
                latencyUs[kRounds / 2], latencyUs[kRounds * 99 / 100], latencyUs.back(), kRounds);

    // The far end writes from its own thread: the line's queues are small, and
    // only the user-interface thread, serving events, empties them.
    const std::vector<std::uint8_t> block(64 * 1024, 0xA5);
    constexpr int kBlocks = 32;
    received = 0;
    const auto start = Clock::now();
    std::thread farEnd([&] {
        for (int i = 0; i < kBlocks; ++i)
            pty.Write(block);
    });
    WaitUntil([&] { return received >= block.size() * kBlocks; }, std::chrono::seconds(60));
    farEnd.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("receive through OnRxChar/ReadChar: %.1f MB/s (%zu bytes in %.2f s)\n",
                double(received) / seconds / 1e6, received, seconds);

    const unsigned long idleBefore = EventThreadTicks();
    RunEventsFor(std::chrono::seconds(1));
    const unsigned long idleTicks = EventThreadTicks() - idleBefore;
    std::printf("event thread processor time while idle: %lu ms per second\n",
                idleTicks * 1000 / static_cast<unsigned long>(::sysconf(_SC_CLK_TCK)));
    return 0;
}
