#include "programmer_end.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace {

[[noreturn]] void Fail(const std::string& what)
{
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

speed_t SpeedConstant(unsigned baud)
{
    switch (baud) {
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    }
    throw std::invalid_argument("no constant for " + std::to_string(baud) + " baud");
}

int MillisecondsLeft(std::chrono::steady_clock::time_point end)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    return int(std::max<std::int64_t>(0, left.count()));
}

} // namespace

ProgrammerEnd::ProgrammerEnd(const std::filesystem::path& device, unsigned baud) : device_(device)
{
    Open(baud);
}

ProgrammerEnd::~ProgrammerEnd()
{
    Close();
}

void ProgrammerEnd::Open(unsigned baud)
{
    Close();
    fd_ = ::open(device_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0)
        Fail("open " + device_.string());
    SetSpeed(baud);
}

void ProgrammerEnd::Close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

void ProgrammerEnd::SetSpeed(unsigned baud)
{
    termios t{};
    if (::tcgetattr(fd_, &t) != 0)
        Fail("tcgetattr");
    ::cfmakeraw(&t);
    ::cfsetspeed(&t, SpeedConstant(baud));
    if (::tcsetattr(fd_, TCSANOW, &t) != 0)
        Fail("tcsetattr");
}

void ProgrammerEnd::Write(const Bytes& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += std::size_t(n);
        } else if (n < 0 && errno == EAGAIN) {
            pollfd p{fd_, POLLOUT, 0};
            ::poll(&p, 1, 1000);
        } else if (n < 0 && errno != EINTR) {
            Fail("write to " + device_.string());
        }
    }
}

Bytes ProgrammerEnd::Read(std::size_t count, std::chrono::milliseconds deadline)
{
    Bytes out;
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (out.size() < count) {
        const int left = MillisecondsLeft(end);
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, left) <= 0)
            break;
        std::uint8_t buf[4096];
        const ssize_t n = ::read(fd_, buf, std::min(sizeof buf, count - out.size()));
        if (n > 0)
            out.insert(out.end(), buf, buf + n);
        else if (n == 0 || (errno != EAGAIN && errno != EINTR))
            break;
        if (left == 0)
            break;
    }
    return out;
}

Bytes ProgrammerEnd::Drain(std::chrono::milliseconds quiet)
{
    Bytes out;
    for (;;) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, int(quiet.count())) <= 0)
            return out;
        std::uint8_t buf[4096];
        const ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n > 0)
            out.insert(out.end(), buf, buf + n);
        else if (n == 0 || (errno != EAGAIN && errno != EINTR))
            return out;
    }
}

std::optional<ProgrammerEnd::Frame> ProgrammerEnd::ReadFrame(std::chrono::milliseconds deadline)
{
    TLinkReceiver rx;
    const auto end = std::chrono::steady_clock::now() + deadline;
    for (;;) {
        // One byte at a time, so that nothing after the frame is taken from the line.
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, MillisecondsLeft(end)) <= 0)
            return std::nullopt;
        std::uint8_t b;
        const ssize_t n = ::read(fd_, &b, 1);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (n != 1)
            return std::nullopt;
        const auto result = rx.Feed(b);
        if (result != TLinkReceiver::TResult::Pending) {
            Frame f{result, rx.RxCommand, rx.RxAddress, {}};
            for (int i = 1; i <= rx.RxLength; ++i)
                f.data.push_back(rx.DataByte(i));
            return f;
        }
    }
}

bool ProgrammerEnd::WaitForHangUp(std::chrono::milliseconds deadline)
{
    const auto end = std::chrono::steady_clock::now() + deadline;
    for (;;) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, MillisecondsLeft(end)) <= 0)
            return false;
        if (p.revents & (POLLHUP | POLLERR))
            return true;
        std::uint8_t buf[256];
        const ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n < 0 && errno == EIO)
            return true;
    }
}
