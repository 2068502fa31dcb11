// qr740-sim: a simulated QR740 controller on a pseudo-terminal.
#include "outputs.h"
#include "sim_loop.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

namespace {

constexpr int kExitUnexpected = 1;
constexpr int kExitFailure = 2;

void PrintEvent(const sim::Event& e)
{
    std::printf("[%9.3f] %-10s %s%s\n", double(e.at.count()) / 1000.0, sim::StageName(e.stage),
                e.unexpected ? "!! " : "", e.text.c_str());
    // The transcript is watched as it grows, also through a pipe or a file.
    std::fflush(stdout);
}

// Writes whatever output files were asked for; false if one could not be written.
bool WriteOutputs(const sim::Options& options, const sim::Loop& loop)
{
    const sim::Controller& controller = loop.Sim();
    bool ok = true;
    try {
        if (!options.flashOut.empty())
            sim::WriteFlashImage(options.flashOut, controller);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qr740-sim: %s\n", e.what());
        ok = false;
    }
    try {
        if (!options.paramsOut.empty())
            sim::WriteParameterLines(options.paramsOut, controller);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qr740-sim: %s\n", e.what());
        ok = false;
    }
    try {
        if (!options.turnaroundOut.empty())
            sim::WriteTurnarounds(options.turnaroundOut, loop.Turnarounds());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qr740-sim: %s\n", e.what());
        ok = false;
    }
    return ok;
}

} // namespace

int main(int argc, char** argv)
{
    const sim::ParseResult parsed = sim::ParseArguments(std::vector<std::string>(argv + 1, argv + argc));
    if (parsed.help) {
        std::fputs(sim::Usage().c_str(), stdout);
        return 0;
    }
    if (!parsed.options) {
        std::fprintf(stderr, "qr740-sim: %s\nTry 'qr740-sim --help'.\n", parsed.error.c_str());
        return kExitFailure;
    }
    const sim::Options& options = *parsed.options;

    // The signals that end the simulator are taken as readable events in its
    // poll, so that it always leaves through the same door: files written, link
    // removed.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    if (sigprocmask(SIG_BLOCK, &stopSignals, nullptr) != 0) {
        std::perror("qr740-sim: sigprocmask");
        return kExitFailure;
    }
    const int signalFd = signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK);
    if (signalFd < 0) {
        std::perror("qr740-sim: signalfd");
        return kExitFailure;
    }
    // SIGUSR1 pulls the adapter out, as a technician would between controllers.
    sigset_t unplugSignals;
    sigemptyset(&unplugSignals);
    sigaddset(&unplugSignals, SIGUSR1);
    const int unplugFd = sigprocmask(SIG_BLOCK, &unplugSignals, nullptr) == 0
                             ? signalfd(-1, &unplugSignals, SFD_CLOEXEC | SFD_NONBLOCK)
                             : -1;
    if (unplugFd < 0) {
        std::perror("qr740-sim: signalfd");
        return kExitFailure;
    }

    sim::Loop loop(options);
    loop.SetEventSink(PrintEvent);
    loop.SetStopDescriptor(signalFd);
    loop.SetUnplugDescriptor(unplugFd);
    int status = 0;
    try {
        loop.Run();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qr740-sim: %s\n", e.what());
        status = kExitFailure;
    }
    if (!WriteOutputs(options, loop))
        status = kExitFailure;
    if (status == 0 && loop.Sim().AnythingUnexpected())
        status = kExitUnexpected;
    ::close(unplugFd);
    ::close(signalFd);
    return status;
}
