// qr740-flash: programs QR740 controllers from the command line, one or many
// ports at once, with the window's settings and its conversation.

#include "flashcommand.h"
#include "quitonsignal.h"

#include <QCoreApplication>

#include <csignal>
#include <string>
#include <vector>

#include <unistd.h>

int main(int argc, char** argv)
{
    // A file-size limit must fail a write, not end the program mid-controller.
    std::signal(SIGXFSZ, SIG_IGN);
    // Nor may a reader of the output that has gone: the write fails with
    // EPIPE, and the run ends as on SIGTERM (flashoutput.h).
    std::signal(SIGPIPE, SIG_IGN);
    const std::vector<std::string> arguments(argv, argv + argc);

    QCoreApplication app(argc, argv);
    // SIGINT, SIGTERM and SIGHUP end the run through the event loop, so that
    // every port is let go and the records are complete.
    TQuitOnSignal quitOnSignal;
    TFlashIo io;
    io.terminal = ::isatty(STDOUT_FILENO) == 1;
    io.quit = &quitOnSignal;
    return RunFlashCommand(arguments, io);
}
