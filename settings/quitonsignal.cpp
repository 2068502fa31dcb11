#include "quitonsignal.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>
#include <string>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr std::array kSignals = {SIGTERM, SIGINT, SIGHUP};

// The handler may only make async-signal-safe calls, so it writes a byte to a
// pipe and the event loop does the rest.
volatile std::sig_atomic_t writeEnd = -1;

extern "C" void OnSignal(int signal)
{
    const int savedErrno = errno;
    const auto byte = static_cast<unsigned char>(signal);
    // A full pipe already holds a request; losing this byte loses nothing.
    [[maybe_unused]] const ssize_t written = ::write(writeEnd, &byte, 1);
    errno = savedErrno;
}

} // namespace

TQuitOnSignal::TQuitOnSignal()
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::runtime_error(std::string("Unable to create the signal pipe: ") +
                                 std::strerror(errno));
    readEnd_ = ends[0];
    writeEnd = ends[1];
    notifier_ = std::make_unique<QSocketNotifier>(readEnd_, QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, [this] { Drain(); });

    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    // Calls that cannot be restarted (poll) are retried on EINTR where they are
    // made; this spares the others.
    action.sa_flags = SA_RESTART;
    for (const int signal : kSignals)
        ::sigaction(signal, &action, nullptr);
}

TQuitOnSignal::~TQuitOnSignal()
{
    for (const int signal : kSignals)
        std::signal(signal, SIG_DFL);
    notifier_.reset();
    ::close(writeEnd);
    writeEnd = -1;
    ::close(readEnd_);
}

void TQuitOnSignal::Drain()
{
    unsigned char bytes[16];
    for (ssize_t n = 0; (n = ::read(readEnd_, bytes, sizeof bytes)) > 0;) {
        if (signal_ == 0)
            signal_ = bytes[0];
    }
    requested_ = true;
    QCoreApplication::exit(0);
}
