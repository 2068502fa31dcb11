// Prints figures for the port over a pseudo-terminal: the time from a byte
// entering the line to its OnRxChar handler, the receive rate through
// OnRxChar/ReadChar as the programmer reads, and the event thread's processor
// time while the line is idle, and for each wake strategy the settings writes
// and event-thread wakes of a block exchanged at 9600 baud. Nothing is asserted.

#include "vacomm.h"
#include "device.h"
#include "vadcb.h"
#include "vasupport.h"

#include "event_threads.h"

#include "pty_pair.h"
#include "scratch_dir.h"
#include "wait.h"

#include <QCoreApplication>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// A pseudo-terminal standing in for the adapter its driver names.
class NamedDriverComm : public TVaComm {
public:
    explicit NamedDriverComm(std::string driver) : driver_(std::move(driver)) {}
    std::shared_ptr<TVaDevice> device;

protected:
    void OpenDevice() override
    {
        device = VaCreateSystemDevice(driver_);
        if (const int error = device->Open(FormatDeviceName(DeviceName(), PortNum())).Error)
            VaRaiseCommError("Open failed (%d), %s", error);
        AttachDevice(device);
    }

private:
    std::string driver_;
};

// Times the event threads have given up the processor: each is a wake.
unsigned long EventThreadWakes()
{
    unsigned long wakes = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        std::getline(comm, name);
        if (name != "VaCommThread")
            continue;
        std::ifstream status(task.path() / "status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
                wakes += std::stoul(line.substr(line.find(':') + 1));
    }
    return wakes;
}

// Blocks as the programmer exchanges them: a 270-byte request from each
// notification, the threshold set for the 15-byte reply, and a far end that
// answers at the line's pace, a byte every character time.
void StrategyFigures(const char* driver)
{
    ScratchDir dir;
    PtyPair pty(dir / "ttyQR");
    NamedDriverComm port(driver);
    port.SetDeviceName(pty.Link().string());
    port.SetBaudrate(br9600);
    port.SetFlowControl(fcNone);
    port.SetMonitorEvents({ceRxChar});
    constexpr int kBlocks = 40;
    constexpr std::size_t kRequest = 270;
    constexpr std::size_t kReply = 15;
    const auto charTime = std::chrono::nanoseconds(10'000'000'000LL / 9600);
    std::atomic<int> answered{0};
    int sent = 0;
    const std::vector<std::uint8_t> request(kRequest, 0x50);
    // The line begins to carry a request when it is handed over.
    std::atomic<Clock::rep> sentAt{0};
    const auto send = [&](TVaCustomComm* sender) {
        ++sent;
        sentAt.store(Clock::now().time_since_epoch().count());
        sender->Send(request.data(), std::int32_t(request.size()));
        sender->SetRxThreshold(std::int32_t(kReply));
    };
    port.OnRxChar = [&](TVaCustomComm* sender, std::int32_t count) {
        std::uint8_t ch = 0;
        for (std::int32_t i = 0; i < count && sender->ReadChar(ch); ++i) {
        }
        ++answered;
        if (sent < kBlocks)
            send(sender);
    };
    // Only this port's thread is counted: those of ports closed before have
    // ended.
    WaitUntil([] { return EventThreads().empty(); });
    port.Open();
    std::thread farEnd([&] {
        for (int block = 0; block < kBlocks; ++block) {
            // The request's own line time, then the reply a byte at a time.
            if (pty.Read(kRequest).size() != kRequest)
                return;
            auto at = Clock::time_point(Clock::duration(sentAt.load())) + charTime * kRequest;
            std::this_thread::sleep_until(at);
            // A byte reaches the far side once its character time has passed.
            for (std::size_t i = 0; i < kReply; ++i) {
                at += charTime;
                std::this_thread::sleep_until(at);
                pty.Write({0x06});
            }
            while (answered.load() <= block)
                std::this_thread::sleep_for(100us);
        }
    });
    const std::uint64_t writesBefore = port.device->SettingsWrites();
    const unsigned long wakesBefore = EventThreadWakes();
    send(&port);
    WaitUntil([&] { return answered.load() >= kBlocks; }, 60s);
    const std::uint64_t writes = port.device->SettingsWrites() - writesBefore;
    const unsigned long wakes = EventThreadWakes() - wakesBefore;
    farEnd.join();
    port.Close();
    std::printf("%-9s (%s): %.2f settings writes, %.2f event-thread wakes a block (%d blocks)\n", driver,
                port.device->WakeStrategy() == TVaWakeStrategy::Rest ? "rest on the eventfd" : "VMIN follows",
                double(writes) / kBlocks, double(wakes) / kBlocks, kBlocks);
}

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
    port.Close();

    for (const char* driver : {"pty", "ftdi_sio"})
        StrategyFigures(driver);
    return 0;
}
