// Every system call of the serial port: the device (open, settings, queues, I/O,
// event wait), the events that wake waits, and thread preparation.
//
// The kernel's termios2 (arbitrary rates through BOTHER) comes from
// <asm/termbits.h>, which cannot live beside the C library's <termios.h>; this
// file therefore uses the kernel structure and ioctls only.

#include "device.h"

#include <asm/termbits.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>

namespace {

// A driver may round a rate to what its clock divides into; the receiving UART
// tolerates a few percent, so does the read-back check.
constexpr std::uint32_t kRateTolerancePercent = 2;

int LastError()
{
    return errno;
}

// Devices without modem lines or counters (pseudo-terminals) answer so.
bool IsUnsupported(int error)
{
    return error == ENOTTY || error == EINVAL;
}

int PollRetrying(pollfd* fds, nfds_t count, int timeoutMs)
{
    for (;;) {
        const int n = ::poll(fds, count, timeoutMs);
        if (n >= 0 || errno != EINTR)
            return n;
    }
}

tcflag_t SizeFlag(std::uint8_t bits)
{
    switch (bits) {
    case 5: return CS5;
    case 6: return CS6;
    case 7: return CS7;
    default: return CS8;
    }
}

std::uint8_t SizeOf(tcflag_t cflag)
{
    switch (cflag & CSIZE) {
    case CS5: return 5;
    case CS6: return 6;
    case CS7: return 7;
    default: return 8;
    }
}

tcflag_t ParityFlags(TVaLineParity parity)
{
    switch (parity) {
    case TVaLineParity::None: return 0;
    case TVaLineParity::Odd: return PARENB | PARODD;
    case TVaLineParity::Even: return PARENB;
    case TVaLineParity::Mark: return PARENB | CMSPAR | PARODD;
    case TVaLineParity::Space: return PARENB | CMSPAR;
    }
    return 0;
}

std::uint8_t ParityOf(tcflag_t cflag)
{
    if (!(cflag & PARENB))
        return kNoParity;
    if (cflag & CMSPAR)
        return (cflag & PARODD) ? kMarkParity : kSpaceParity;
    return (cflag & PARODD) ? kOddParity : kEvenParity;
}

// The flags that the line settings govern, for comparing what was written with
// what the driver kept.
constexpr tcflag_t kGovernedCflag = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
constexpr tcflag_t kGovernedIflag = IXON | IXOFF | INPCK;

termios2 ToTermios(const termios2& read, const TVaLineSettings& line, std::uint8_t threshold)
{
    termios2 t = read;
    const TVaTerminalFlags flags = VaTerminalFlagsOf(line);
    t.c_iflag = flags.Iflag;
    t.c_oflag = flags.Oflag;
    t.c_lflag = flags.Lflag;
    // HUPCL is the driver's as read.
    t.c_cflag = (read.c_cflag & HUPCL) | flags.Cflag | BOTHER;
    t.c_ospeed = line.BaudRate;
    t.c_ispeed = line.BaudRate; // CIBAUD is clear: input runs at the output rate
    // Reads never wait (the device is non-blocking), so VMIN governs only when
    // poll calls the line readable: with VTIME 0, once VMIN bytes are there.
    t.c_cc[VMIN] = threshold;
    t.c_cc[VTIME] = 0;
    t.c_cc[VSTART] = line.XonChar;
    t.c_cc[VSTOP] = line.XoffChar;
    return t;
}

// A start bit, the data bits, the parity bit and the stop bits, at the output rate.
std::chrono::nanoseconds CharTimeOf(const termios2& t)
{
    if (t.c_ospeed == 0)
        return {};
    int bits = 1 + ((t.c_cflag & CSTOPB) ? 2 : 1) + ((t.c_cflag & PARENB) ? 1 : 0);
    switch (t.c_cflag & CSIZE) {
    case CS5:
        bits += 5;
        break;
    case CS6:
        bits += 6;
        break;
    case CS7:
        bits += 7;
        break;
    default:
        bits += 8;
        break;
    }
    return std::chrono::nanoseconds(std::int64_t(bits) * 1'000'000'000 / std::int64_t(t.c_ospeed));
}

bool RateMatches(std::uint32_t wanted, std::uint32_t got)
{
    const std::uint32_t diff = wanted > got ? wanted - got : got - wanted;
    return std::uint64_t(diff) * 100 <= std::uint64_t(wanted) * kRateTolerancePercent;
}

bool ReadsBackAs(const termios2& wanted, const termios2& got)
{
    return (wanted.c_cflag & kGovernedCflag) == (got.c_cflag & kGovernedCflag) &&
           (wanted.c_iflag & kGovernedIflag) == (got.c_iflag & kGovernedIflag) &&
           wanted.c_cc[VSTART] == got.c_cc[VSTART] && wanted.c_cc[VSTOP] == got.c_cc[VSTOP] &&
           RateMatches(wanted.c_ospeed, got.c_ospeed);
}

// Unix 98 pseudo-terminal slaves (UNIX98_PTY_SLAVE_MAJOR and the majors
// after it), which sysfs does not list.
constexpr unsigned kPtySlaveFirstMajor = 136;
constexpr unsigned kPtySlaveLastMajor = 143;

struct TTtyDriver {
    std::string Name;
    bool SerialCore = false;
};

// The driver of the tty open on `fd`, found as --list-ports finds it: the
// nearest device above the tty in sysfs that has a driver, passing over the
// serial core's own port and controller devices ("serial-base"). Sysfs is
// the kernel's memory, so this costs a few look-ups and never waits on a disk.
TTtyDriver TtyDriverOf(int fd)
{
    namespace fs = std::filesystem;
    struct stat st{};
    if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode))
        return {};
    const unsigned major = ::major(st.st_rdev);
    if (major >= kPtySlaveFirstMajor && major <= kPtySlaveLastMajor)
        return {"pty", false};
    std::error_code ec;
    const fs::path tty = fs::canonical(
        "/sys/dev/char/" + std::to_string(major) + ":" + std::to_string(::minor(st.st_rdev)), ec);
    if (ec)
        return {};
    TTtyDriver found;
    // Every port of the serial core carries its UART's clock among its
    // attributes, on kernels with and without the serial-base devices.
    found.SerialCore = fs::exists(tty / "uartclk", ec);
    for (fs::path p = tty.parent_path(); p.has_relative_path() && p != "/sys/devices"; p = p.parent_path()) {
        if (!fs::exists(p / "uevent", ec))
            continue; // a class folder ("tty"), not a device
        if (fs::read_symlink(p / "subsystem", ec).filename() == "serial-base")
            continue;
        const fs::path driver = fs::read_symlink(p / "driver", ec);
        if (!ec) {
            found.Name = driver.filename().string();
            break;
        }
    }
    return found;
}

class TVaPosixDevice final : public TVaDevice {
public:
    explicit TVaPosixDevice(std::string driver) : namedDriver_(std::move(driver)) {}
    ~TVaPosixDevice() override { Close(); }

    TVaOpenResult Open(const std::string& path) override
    {
        // O_NONBLOCK: reads return at once with what has arrived, and opening a
        // modem line without carrier does not wait for one.
        const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            const int error = LastError();
            TVaOpenResult result{error, error == ENOENT || error == ENODEV || error == ENXIO};
            result.NotAPort = error == EISDIR;
            return result;
        }
        // A regular file or /dev/null opens like any device; only a terminal
        // takes line settings. Refused here, before anything is written to it.
        termios2 settings{};
        if (::ioctl(fd, TCGETS2, &settings) != 0) {
            const int error = LastError();
            ::close(fd);
            TVaOpenResult result{error, false};
            result.NotAPort = error == ENOTTY || error == EINVAL;
            return result;
        }
        // TIOCEXCL alone does not hold against root, nor against a process that
        // opened the device just before it was set; the advisory lock closes
        // both gaps for every program that honours it, including a second
        // instance of this one.
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int error = LastError();
            ::close(fd);
            return {error, false};
        }
        if (::ioctl(fd, TIOCEXCL) != 0 && !IsUnsupported(errno)) {
            const int error = LastError();
            ::close(fd);
            return {error, false};
        }
        fd_ = fd;
        countersKept_ = true;
        wakeCount_ = 1;
        settingsWrites_.store(0);
        TTtyDriver driver = namedDriver_.empty() ? TtyDriverOf(fd) : TTtyDriver{namedDriver_, false};
        strategy_ = VaWakeStrategyOf(driver.Name, driver.SerialCore);
        driver_ = std::move(driver.Name);
        NoteReadThreshold(1);
        NoteCharTime(CharTimeOf(settings));
        AskForLowLatency();
        // Read before anything of ours is applied, so that closing leaves the
        // line as it was found: a terminal mapped by mistake keeps its echo and
        // its Ctrl-C after the program has gone.
        found_ = settings;
        return {};
    }

    void Close() override
    {
        if (fd_ < 0)
            return;
        // TCSETS2, not TCSETSW: nothing may wait for output that a stalled line
        // will never take. A hung-up line refuses it, and has nothing to keep.
        SetTermios(found_);
        if (lowLatencySet_) {
            serial_struct info{};
            if (::ioctl(fd_, TIOCGSERIAL, &info) == 0) {
                info.flags &= ~ASYNC_LOW_LATENCY;
                ::ioctl(fd_, TIOCSSERIAL, &info);
            }
            lowLatencySet_ = false;
        }
        // Exclusive mode outlives our descriptor on some drivers; give it back
        // so the next opener is not refused.
        ::ioctl(fd_, TIOCNXCL);
        ::close(fd_);
        fd_ = -1;
    }

    int ReadSettings(TVaDcb& dcb) override
    {
        termios2 t{};
        if (::ioctl(fd_, TCGETS2, &t) != 0)
            return LastError();
        dcb = TVaDcb{};
        dcb.BaudRate = t.c_ospeed;
        dcb.ByteSize = SizeOf(t.c_cflag);
        dcb.Parity = ParityOf(t.c_cflag);
        dcb.StopBits = (t.c_cflag & CSTOPB) ? kTwoStopBits : kOneStopBit;
        dcb.XonChar = t.c_cc[VSTART];
        dcb.XoffChar = t.c_cc[VSTOP];
        dcb.EofChar = t.c_cc[VEOF];
        dcb.fBinary = true;
        dcb.fParity = (t.c_iflag & INPCK) != 0;
        dcb.fOutX = (t.c_iflag & IXON) != 0;
        dcb.fInX = (t.c_iflag & IXOFF) != 0;
        if (t.c_cflag & CRTSCTS) {
            dcb.fOutxCtsFlow = true;
            dcb.fRtsControl = kRtsControlHandshake;
        }
        int lines = 0;
        if (::ioctl(fd_, TIOCMGET, &lines) == 0) {
            dcb.fDtrControl = (lines & TIOCM_DTR) ? kDtrControlEnable : kDtrControlDisable;
            if (!dcb.fOutxCtsFlow)
                dcb.fRtsControl = (lines & TIOCM_RTS) ? kRtsControlEnable : kRtsControlDisable;
        }
        return 0;
    }

    int WriteSettings(const TVaDcb& dcb) override
    {
        TVaLineSettings line;
        if (!DcbToLineSettings(dcb, line))
            return EINVAL;
        const std::lock_guard lock(termiosLock_);
        termios2 before{};
        if (::ioctl(fd_, TCGETS2, &before) != 0)
            return LastError();
        const termios2 wanted = ToTermios(before, line, wakeCount_);
        if (SetTermios(wanted) != 0)
            return LastError();
        // The set reports success when any part of it applied; only reading back
        // tells whether the driver kept the rate and the framing.
        termios2 got{};
        if (::ioctl(fd_, TCGETS2, &got) != 0)
            return LastError();
        if (!ReadsBackAs(wanted, got)) {
            SetTermios(before); // leave the line as it was
            return EINVAL;
        }
        NoteCharTime(CharTimeOf(got));
        if (const int error = SetLine(TIOCM_DTR, line.Dtr == TVaLineLevel::On))
            return error;
        // Under RTS/CTS flow control the driver drives RTS itself.
        if (line.Rts != TVaLineLevel::Handshake)
            if (const int error = SetLine(TIOCM_RTS, line.Rts == TVaLineLevel::On))
                return error;
        return 0;
    }

    int QueueCounts(std::uint32_t& inQueue, std::uint32_t& outQueue) override
    {
        int in = 0;
        int out = 0;
        if (::ioctl(fd_, FIONREAD, &in) != 0)
            return LastError();
        if (::ioctl(fd_, TIOCOUTQ, &out) != 0)
            return LastError();
        inQueue = std::uint32_t(in > 0 ? in : 0);
        outQueue = std::uint32_t(out > 0 ? out : 0);
        return 0;
    }

    // The event thread's wait on the device ends once VMIN bytes wait (VTIME
    // is 0). Changing the settings wakes the terminal's waiters, which look
    // again, so lowering the threshold below VMIN ends a wait under way when
    // enough bytes already wait.
    int SetReadThreshold(std::uint8_t count) override
    {
        count = std::max<std::uint8_t>(count, 1);
        // The threshold changes under the lock that SetWakeCount reads it
        // under: a wake count the event thread chose from a higher threshold
        // read before is then either lowered here or clamped there.
        const std::lock_guard lock(termiosLock_);
        NoteReadThreshold(count);
        return count < wakeCount_ ? WriteWakeCount(count) : 0;
    }

    int SetWakeCount(std::uint8_t count) override
    {
        // Under the Rest strategy the wake count stays at one for the whole
        // session: nothing reaches the driver between open and close.
        if (strategy_ == TVaWakeStrategy::Rest)
            return 0;
        const std::lock_guard lock(termiosLock_);
        count = std::clamp<std::uint8_t>(count, 1, std::max<std::uint8_t>(ReadThreshold(), 1));
        return count == wakeCount_ ? 0 : WriteWakeCount(count);
    }

    TVaDeviceWait Rest(TVaHandle wake, std::chrono::nanoseconds period) override
    {
        // The device is watched for nothing but its hang-up, which poll reports
        // whatever is asked: a rest through a reply that will never come (the
        // adapter pulled out) ends at once.
        pollfd fds[2] = {{wake, POLLIN, 0}, {fd_, 0, 0}};
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(period);
        const timespec timeout{seconds.count(), long((period - seconds).count())};
        const int n = ::ppoll(fds, 2, &timeout, nullptr);
        if (n > 0 && (fds[0].revents & POLLIN))
            return TVaDeviceWait::Woken;
        if (n > 0 && (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)))
            return TVaDeviceWait::HungUp;
        // An interrupted rest ends early; the thread looks at the device then.
        return TVaDeviceWait::TimedOut;
    }

    int InQueue(std::uint32_t& inQueue) override
    {
        int in = 0;
        if (::ioctl(fd_, FIONREAD, &in) != 0)
            return LastError();
        inQueue = std::uint32_t(in > 0 ? in : 0);
        return 0;
    }

    bool LineCounters(TVaLineCounters& counters) override
    {
        // A driver that keeps no totals (a pseudo-terminal, most USB adapters)
        // keeps none later either: it is not asked at every notification.
        if (!countersKept_)
            return false;
        serial_icounter_struct c{};
        if (::ioctl(fd_, TIOCGICOUNT, &c) != 0) {
            countersKept_ = !IsUnsupported(errno);
            return false;
        }
        counters.Cts = std::uint32_t(c.cts);
        counters.Dsr = std::uint32_t(c.dsr);
        counters.Ring = std::uint32_t(c.rng);
        counters.Dcd = std::uint32_t(c.dcd);
        counters.Frame = std::uint32_t(c.frame);
        counters.Overrun = std::uint32_t(c.overrun);
        counters.Parity = std::uint32_t(c.parity);
        counters.Break = std::uint32_t(c.brk);
        counters.BufOverrun = std::uint32_t(c.buf_overrun);
        return true;
    }

    int Purge(std::uint32_t flags) override
    {
        // Nothing is ever in flight beyond a call here, so aborting is emptying.
        const bool tx = (flags & (kPurgeTxAbort | kPurgeTxClear)) != 0;
        const bool rx = (flags & (kPurgeRxAbort | kPurgeRxClear)) != 0;
        if (!tx && !rx)
            return 0;
        const int queue = (tx && rx) ? TCIOFLUSH : tx ? TCOFLUSH : TCIFLUSH;
        if (tx)
            NoteSendingDropped();
        if (::ioctl(fd_, TCFLSH, queue) != 0) {
            // A hung-up line (unplugged adapter, closed peer) has no queues
            // left to empty and answers EIO to every request. Failing here would
            // make Close fail for ever, and the port could never be closed and
            // opened again.
            if (errno == EIO)
                return 0;
            return LastError();
        }
        return 0;
    }

    int Write(const void* buffer, std::int32_t count, std::chrono::milliseconds timeout,
              std::int32_t& written) override
    {
        written = 0;
        if (fd_ < 0)
            return EBADF;
        const auto* bytes = static_cast<const std::uint8_t*>(buffer);
        // The time-out runs from the last byte the device took: a long write to
        // a slow line that keeps taking bytes is not cut short, and one that
        // stops taking them ends after `timeout` however much is left.
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (written < count) {
            const ssize_t n = ::write(fd_, bytes + written, std::size_t(count - written));
            if (n > 0) {
                written += std::int32_t(n);
                NoteSent(std::int32_t(n));
                deadline = std::chrono::steady_clock::now() + timeout;
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno != EAGAIN)
                return LastError();
            // The transmit queue is full (flow control, a slow line): wait for
            // room, but never beyond the time-out, so nothing outlives the call.
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                break;
            pollfd p{fd_, POLLOUT, 0};
            if (PollRetrying(&p, 1, int(left.count())) < 0)
                return LastError();
            if (p.revents & (POLLERR | POLLHUP | POLLNVAL))
                return EIO;
        }
        return 0;
    }

    int Read(void* buffer, std::int32_t count, std::int32_t& read) override
    {
        read = 0;
        if (fd_ < 0)
            return EBADF;
        for (;;) {
            const ssize_t n = ::read(fd_, buffer, std::size_t(count));
            if (n >= 0) {
                // 0 is the end of a hung-up line: nothing to read, as for EAGAIN.
                read = std::int32_t(n);
                return 0;
            }
            if (errno == EAGAIN)
                return 0;
            if (errno != EINTR)
                return LastError();
        }
    }

    TVaHandle WriteHandle() const override { return fd_; }
    std::string Driver() const override { return driver_; }
    TVaWakeStrategy WakeStrategy() const override { return strategy_; }
    std::uint64_t SettingsWrites() const override { return settingsWrites_.load(); }

    TVaDeviceWait WaitReadable(bool watchReadable, TVaHandle wake, std::int32_t timeoutMs) override
    {
        pollfd fds[2] = {{wake, POLLIN, 0}, {fd_, short(watchReadable ? POLLIN : 0), 0}};
        // With nothing asked of the device, poll still reports its hang-up,
        // which would wake a wait that is meant to rest; leave it out then.
        const nfds_t count = watchReadable ? 2 : 1;
        const int n = PollRetrying(fds, count, timeoutMs);
        if (n < 0)
            return TVaDeviceWait::Failed;
        if (fds[0].revents & POLLIN)
            return TVaDeviceWait::Woken;
        if (n == 0)
            return TVaDeviceWait::TimedOut;
        if (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL))
            return TVaDeviceWait::HungUp;
        if (fds[1].revents & POLLIN)
            return TVaDeviceWait::Readable;
        return TVaDeviceWait::Failed; // the wake descriptor itself is broken
    }

private:
    // USB serial drivers (FTDI's among them) hold received bytes for up to 16 ms
    // before passing them on, unless the port asks for low latency; at 9600
    // baud that would add up to 16 ms to every reply. Asking needs no
    // privilege. Where the driver has no such setting (pseudo-terminals, some
    // chips) nothing changes and nothing is said. Closing puts the flag back
    // as it was found.
    void AskForLowLatency()
    {
        lowLatencySet_ = false;
        serial_struct info{};
        if (::ioctl(fd_, TIOCGSERIAL, &info) != 0 || (info.flags & ASYNC_LOW_LATENCY))
            return;
        info.flags |= ASYNC_LOW_LATENCY;
        lowLatencySet_ = ::ioctl(fd_, TIOCSSERIAL, &info) == 0;
    }

    // Under termiosLock_.
    int WriteWakeCount(std::uint8_t count)
    {
        termios2 t{};
        if (::ioctl(fd_, TCGETS2, &t) != 0)
            return LastError();
        t.c_cc[VMIN] = count;
        t.c_cc[VTIME] = 0;
        if (SetTermios(t) != 0)
            return LastError();
        wakeCount_ = count;
        return 0;
    }

    // Pseudo-terminals and some adapters have no modem lines; there is nothing
    // to hold on or off then.
    int SetLine(int bit, bool on)
    {
        if (::ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &bit) != 0 && !IsUnsupported(errno))
            return LastError();
        return 0;
    }

    // Every write of the settings goes through here, so that it is counted.
    int SetTermios(const termios2& t)
    {
        settingsWrites_.fetch_add(1);
        return ::ioctl(fd_, TCSETS2, &t);
    }

    const std::string namedDriver_;
    std::string driver_;
    TVaWakeStrategy strategy_ = TVaWakeStrategy::WakeCount;
    std::atomic<std::uint64_t> settingsWrites_{0};
    int fd_ = -1;
    termios2 found_{};
    bool countersKept_ = true;
    // The settings are changed by the owner's thread and, for VMIN, by the
    // event thread: each change reads them, alters them and writes them back.
    std::mutex termiosLock_;
    std::uint8_t wakeCount_ = 1; // VMIN
    bool lowLatencySet_ = false; // by us, to be taken back at close
};

} // namespace

TVaTerminalFlags VaTerminalFlagsOf(const TVaLineSettings& line)
{
    TVaTerminalFlags flags;
    // Raw: no echo, no line editing, no signals, no translation of any byte in
    // either direction. Built from nothing rather than by clearing what a raw
    // mode clears, so that nothing another program left behind (IXANY, ISTRIP,
    // a stop bit, a parity) survives.
    if (line.XonXoffOut)
        flags.Iflag |= IXON;
    if (line.XonXoffIn)
        flags.Iflag |= IXOFF;
    if (line.ParityCheck)
        flags.Iflag |= INPCK;
    // CLOCAL: the line is ours whatever the carrier does, and a missing carrier
    // never hangs it up.
    flags.Cflag = CLOCAL | CREAD | SizeFlag(line.DataBits) | ParityFlags(line.Parity);
    if (line.TwoStopBits)
        flags.Cflag |= CSTOPB;
    if (line.Rts == TVaLineLevel::Handshake)
        flags.Cflag |= CRTSCTS;
    return flags;
}

std::shared_ptr<TVaDevice> VaCreateSystemDevice(std::string driver)
{
    return std::make_shared<TVaPosixDevice>(std::move(driver));
}

std::string VaSystemErrorText(int error)
{
    char buffer[256] = {};
    // The GNU strerror_r returns the text, which need not be in the buffer.
    const char* text = ::strerror_r(error, buffer, sizeof buffer);
    return TrimErrorText(text ? text : "");
}

int VaBadHandleError()
{
    return EBADF;
}

int VaInvalidSettingError()
{
    return EINVAL;
}

int VaTimedOutError()
{
    return ETIMEDOUT;
}

TVaHandle VaCreateEventHandle(int& error)
{
    const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    error = fd < 0 ? errno : 0;
    return fd;
}

int VaSignalEventHandle(TVaHandle event)
{
    const std::uint64_t one = 1;
    for (;;) {
        if (::write(event, &one, sizeof one) == ssize_t(sizeof one))
            return 0;
        // EAGAIN: the counter is at its limit, so the event is signalled anyway.
        if (errno == EAGAIN)
            return 0;
        if (errno != EINTR)
            return errno;
    }
}

int VaResetEventHandle(TVaHandle event)
{
    std::uint64_t value = 0;
    for (;;) {
        if (::read(event, &value, sizeof value) == ssize_t(sizeof value))
            return 0;
        if (errno == EAGAIN)
            return 0; // not signalled
        if (errno != EINTR)
            return errno;
    }
}

TVaWaitResult VaWaitHandle(TVaHandle handle, std::int32_t timeoutMs, int& error)
{
    if (handle < 0) {
        error = EBADF;
        return wrError;
    }
    pollfd p{handle, POLLIN, 0};
    const int n = PollRetrying(&p, 1, timeoutMs < 0 ? -1 : timeoutMs);
    if (n < 0) {
        error = errno;
        return wrError;
    }
    if (n == 0)
        return wrTimeout;
    if (p.revents & POLLIN)
        return wrSignaled;
    error = EBADF;
    return wrError;
}

void VaCloseHandle(TVaHandle handle)
{
    if (handle >= 0)
        ::close(handle);
}

void VaPrepareCurrentThread(const char* name, TThreadPriority priority)
{
    ::pthread_setname_np(::pthread_self(), name);
    // Threads of the normal policy are ranked by their nice value, which Linux
    // keeps per thread. The levels are steps from the level the thread was born
    // with (that of the thread that opened the port), as thread levels are steps
    // within their process's class. Raising the level needs a privilege that the
    // program rarely has; the thread then keeps the level it was born with.
    int step = 0;
    switch (priority) {
    case tpIdle: step = 19; break;
    case tpLowest: step = 10; break;
    case tpLower: step = 5; break;
    case tpNormal: step = 0; break;
    case tpHigher: step = -5; break;
    case tpHighest: step = -10; break;
    case tpTimeCritical: step = -20; break;
    }
    if (step == 0)
        return;
    const auto tid = static_cast<id_t>(::syscall(SYS_gettid));
    errno = 0;
    const int born = ::getpriority(PRIO_PROCESS, tid);
    if (errno != 0)
        return;
    const int nice = std::clamp(born + step, -20, 19);
    ::setpriority(PRIO_PROCESS, tid, nice);
}
