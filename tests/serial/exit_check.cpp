// The application ends while a port is open and a dispatch is on its way: the
// event thread must be gone before the application object, the port must still
// close afterwards, and a second application must get working ports again; a
// port left open without any application must not keep the process's end
// from joining its thread.
// Its own program, because the application's end is the thing under test.
// Exit status 0 when all of that holds.

#include "vacomm.h"

#include "pty_pair.h"
#include "scratch_dir.h"
#include "wait.h"

#include <QCoreApplication>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

// Reachable to the end, so a leak checker does not count it: it is meant to be
// open when the process ends.
TVaComm* gLeftOpen = nullptr;

namespace {

int EventThreadCount()
{
    int count = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        std::getline(comm, name);
        count += (name == "VaCommThread");
    }
    return count;
}

bool Check(bool ok, const char* what)
{
    if (!ok)
        std::fprintf(stderr, "failed: %s\n", what);
    return ok;
}

} // namespace

int main(int argc, char** argv)
{
    ScratchDir dir;
    PtyPair pty(dir / "ttyQR");
    bool ok = true;
    int calls = 0;

    auto* survivor = new TVaComm;
    survivor->SetDeviceName(pty.Link().string());
    survivor->SetFlowControl(fcNone);
    survivor->SetMonitorEvents({ceRxChar});
    survivor->OnRxChar = [&](TVaCustomComm*, std::int32_t) { ++calls; };
    {
        QCoreApplication app(argc, argv);
        survivor->Open();
        pty.Write({1, 2, 3});
        // Queued without serving events: the thread is handing them over or
        // about to when the application goes.
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (survivor->ReadBufUsed() == 0 && std::chrono::steady_clock::now() < end) {
        }
        ok &= Check(survivor->ReadBufUsed() == 3, "bytes queued");
    }
    ok &= Check(EventThreadCount() == 0, "no event thread outlives the application");
    ok &= Check(calls == 0, "no handler runs after the application");
    delete survivor;

    {
        QCoreApplication app(argc, argv);
        TVaComm port;
        port.SetDeviceName(pty.Link().string());
        port.SetFlowControl(fcNone);
        port.SetMonitorEvents({ceRxChar});
        int received = 0;
        port.OnRxChar = [&](TVaCustomComm* sender, std::int32_t count) {
            std::uint8_t ch = 0;
            for (std::int32_t i = 0; i < count && sender->ReadChar(ch); ++i)
                ++received;
        };
        port.Open();
        pty.Write({4, 5});
        ok &= Check(WaitUntil([&] { return received >= 2; }), "a later application receives");
    }
    ok &= Check(EventThreadCount() == 0, "no event thread outlives the second application");

    // Last, a port left open with no application at all: the process's own
    // end stops and joins its thread (a sanitizer reports one that is not).
    gLeftOpen = new TVaComm;
    TVaComm* abandoned = gLeftOpen;
    abandoned->SetDeviceName(pty.Link().string());
    abandoned->SetFlowControl(fcNone);
    abandoned->SetMonitorEvents({ceRxChar});
    abandoned->Open();
    pty.Write({6});
    return ok ? 0 : 1;
}
