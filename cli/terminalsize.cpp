#include "terminalsize.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>
#include <string>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// The handler may only make async-signal-safe calls: it writes a byte to a
// pipe, and the event loop reads the new size.
volatile std::sig_atomic_t writeEnd = -1;

extern "C" void OnWindowChange(int)
{
    const int savedErrno = errno;
    const unsigned char byte = 1;
    // A full pipe already holds a change to look at; losing this byte loses nothing.
    [[maybe_unused]] const ssize_t written = ::write(writeEnd, &byte, 1);
    errno = savedErrno;
}

} // namespace

int TerminalColumns(int fd)
{
    winsize size{};
    if (::ioctl(fd, TIOCGWINSZ, &size) != 0)
        return 0;
    return size.ws_col;
}

TTerminalSize::TTerminalSize(int fd) : fd_(fd), columns_(TerminalColumns(fd))
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::runtime_error(std::string("Unable to create the window-size pipe: ") + std::strerror(errno));
    readEnd_ = ends[0];
    writeEnd = ends[1];
    notifier_ = std::make_unique<QSocketNotifier>(readEnd_, QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, [this] { Drain(); });

    struct sigaction action {};
    action.sa_handler = OnWindowChange;
    sigemptyset(&action.sa_mask);
    // As for the quitting signals: a resize must not fail a call that can go on.
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGWINCH, &action, nullptr);
}

TTerminalSize::~TTerminalSize()
{
    std::signal(SIGWINCH, SIG_DFL);
    notifier_.reset();
    ::close(writeEnd);
    writeEnd = -1;
    ::close(readEnd_);
}

void TTerminalSize::Drain()
{
    unsigned char bytes[16];
    while (::read(readEnd_, bytes, sizeof bytes) > 0) {
    }
    // Several changes in a row are one redraw, at the size they ended with.
    const int columns = TerminalColumns(fd_);
    if (columns == columns_)
        return;
    columns_ = columns;
    if (OnResized)
        OnResized(columns);
}
