#include "pty_pair.h"
#include "pty_speed.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace {

[[noreturn]] void Fail(const std::string& what)
{
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

} // namespace

PtyPair::PtyPair(std::filesystem::path link) : link_(std::move(link))
{
    char name[256] = {};
    if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0)
        Fail("openpty");
    slaveName_ = name;
    // Raw on the slave so the line discipline passes every byte unchanged.
    termios t{};
    if (::tcgetattr(slave_, &t) != 0)
        Fail("tcgetattr");
    ::cfmakeraw(&t);
    if (::tcsetattr(slave_, TCSANOW, &t) != 0)
        Fail("tcsetattr");
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    ::fcntl(master_, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave_, F_SETFD, FD_CLOEXEC);
    std::error_code ignored;
    std::filesystem::remove(link_, ignored);
    std::filesystem::create_symlink(slaveName_, link_);
}

PtyPair::~PtyPair()
{
    std::error_code ignored;
    std::filesystem::remove(link_, ignored);
    if (slave_ >= 0)
        ::close(slave_);
    if (master_ >= 0)
        ::close(master_);
}

void PtyPair::Write(const std::vector<std::uint8_t>& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += std::size_t(n);
        } else if (n < 0 && errno == EAGAIN) {
            pollfd p{master_, POLLOUT, 0};
            ::poll(&p, 1, 1000);
        } else if (n < 0 && errno != EINTR) {
            Fail("write to pty master");
        }
    }
}

std::vector<std::uint8_t> PtyPair::Read(std::size_t count, std::chrono::milliseconds deadline)
{
    std::vector<std::uint8_t> out;
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (out.size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd p{master_, POLLIN, 0};
        if (::poll(&p, 1, int(left.count())) <= 0)
            continue;
        std::uint8_t buf[4096];
        const ssize_t n = ::read(master_, buf, std::min(sizeof buf, count - out.size()));
        if (n > 0)
            out.insert(out.end(), buf, buf + n);
        else if (n == 0 || (errno != EAGAIN && errno != EINTR))
            break; // hang-up: no slave is open any more
    }
    return out;
}

std::vector<std::uint8_t> PtyPair::Drain(std::chrono::milliseconds quiet)
{
    std::vector<std::uint8_t> out;
    for (;;) {
        pollfd p{master_, POLLIN, 0};
        if (::poll(&p, 1, int(quiet.count())) <= 0)
            return out;
        std::uint8_t buf[4096];
        const ssize_t n = ::read(master_, buf, sizeof buf);
        if (n > 0)
            out.insert(out.end(), buf, buf + n);
        else if (n == 0 || (errno != EAGAIN && errno != EINTR))
            return out;
    }
}

unsigned PtyPair::SlaveSpeed() const
{
    const unsigned speed = PtyLineSpeed(master_);
    if (speed == 0)
        Fail("TCGETS2 on master");
    return speed;
}

void PtyPair::HangUp()
{
    if (master_ >= 0)
        ::close(master_);
    master_ = -1;
}

void PtyPair::ReleaseSlave()
{
    if (slave_ >= 0)
        ::close(slave_);
    slave_ = -1;
}
