#include "sim_loop.h"

#include "line_speed.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>

namespace sim {

namespace {

// While nobody has the slave open the master reports a hang-up on every poll, so
// it is looked at again this often instead of being polled.
constexpr std::chrono::milliseconds kListenerCheck{20};
constexpr unsigned kFallbackBaud = 9600;
constexpr unsigned kBitsPerByte = 10; // start bit, eight data bits, stop bit

[[noreturn]] void Fail(const std::string& what)
{
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

} // namespace

Loop::Loop(Options options) : options_(options), controller_(std::move(options))
{
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0)
        Fail("eventfd");
}

Loop::~Loop()
{
    CloseLine();
    RemoveLink();
    ::close(wakeFd_);
}

void Loop::Stop()
{
    stopping_ = true;
    const std::uint64_t one = 1;
    // A full counter still wakes the poll, so a failed write loses nothing.
    [[maybe_unused]] const ssize_t n = ::write(wakeFd_, &one, sizeof one);
}

void Loop::Unplug()
{
    unplugging_ = true;
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wakeFd_, &one, sizeof one);
}

void Loop::OpenLine(Clock::time_point now)
{
    int slave = -1;
    char name[256] = {};
    if (::openpty(&master_, &slave, name, nullptr, nullptr) != 0)
        Fail("openpty");
    slaveName_ = name;
    // Raw, so that the line discipline passes every byte unchanged, at the speed
    // the programmer opens with; the programmer sets its own mode anyway.
    termios t{};
    if (::tcgetattr(slave, &t) == 0) {
        ::cfmakeraw(&t);
        ::cfsetspeed(&t, B9600);
        ::tcsetattr(slave, TCSANOW, &t);
    }
    // Holding the slave open ourselves would let announcements pile up in it while
    // no programmer listens, to be read all at once when one opens the port.
    ::close(slave);
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    ::fcntl(master_, F_SETFD, FD_CLOEXEC);
    listening_ = false;
    baud_ = 0;
    writeBlocked_ = false;
    PointLink();
    controller_.Note(now, "line " + slaveName_ + ", linked at " + options_.link.string());
}

void Loop::CloseLine()
{
    if (master_ >= 0)
        ::close(master_);
    master_ = -1;
    awaitingRequest_ = false;
    listening_ = false;
    in_.clear();
    out_.clear();
}

void Loop::PointLink()
{
    namespace fs = std::filesystem;
    const fs::path& link = options_.link;
    std::error_code ec;
    const auto status = fs::symlink_status(link, ec);
    if (fs::exists(status) && !fs::is_symlink(status))
        throw std::runtime_error("refusing to replace " + link.string() + ": it is not a symbolic link");
    // Made beside the link and renamed over it, so that the link path never
    // points nowhere while a programmer may be opening it.
    const fs::path temporary = link.parent_path() / ("." + link.filename().string() + ".new");
    fs::remove(temporary, ec);
    fs::create_symlink(slaveName_, temporary, ec);
    if (!ec)
        fs::rename(temporary, link, ec);
    if (ec) {
        fs::remove(temporary);
        throw std::runtime_error("cannot make the link " + link.string() + ": " + ec.message());
    }
    linkMade_ = true;
}

void Loop::RemoveLink()
{
    if (!linkMade_)
        return;
    linkMade_ = false;
    // Only our own link goes: another simulator may have taken the path over.
    std::error_code ec;
    if (std::filesystem::read_symlink(options_.link, ec) == slaveName_ && !ec)
        std::filesystem::remove(options_.link, ec);
}

Clock::duration Loop::ByteTime() const
{
    const unsigned baud = baud_ ? baud_ : kFallbackBaud;
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(double(kBitsPerByte) / baud));
}

void Loop::WatchLine(Clock::time_point now)
{
    if (master_ < 0)
        return;
    pollfd p{master_, POLLIN, 0};
    ::poll(&p, 1, 0);
    const bool open = !(p.revents & (POLLHUP | POLLERR));
    // The speed first: bytes waiting now were written at the speed set now, since
    // a programmer changes speed between its writes, not during them.
    const unsigned baud = LineSpeed(master_);
    if (open && !listening_)
        controller_.Note(now, "the programmer opened the port (" + std::to_string(baud) + " baud)");
    else if (open && baud != baud_)
        controller_.Note(now, "the line speed is now " + std::to_string(baud) + " baud");
    if (baud != 0)
        baud_ = baud;
    if (p.revents & POLLIN)
        ReadLine(now);
    if (!open && listening_)
        controller_.Note(now, "the programmer closed the port");
    listening_ = open;
}

void Loop::ReadLine(Clock::time_point now)
{
    std::uint8_t buf[4096];
    for (;;) {
        const ssize_t n = ::read(master_, buf, sizeof buf);
        if (n > 0 && awaitingRequest_) {
            awaitingRequest_ = false;
            if (controller_.CurrentStage() == Stage::Loader)
                turnarounds_.push_back(std::chrono::duration<double>(Clock::now() - replyEnd_).count());
        }
        if (n <= 0) {
            // EAGAIN: all read; EIO: the programmer has closed the port, and
            // WatchLine learns that from the poll.
            if (n < 0 && errno == EINTR)
                continue;
            return;
        }
        const unsigned baud = baud_;
        for (ssize_t i = 0; i < n; ++i) {
            Clock::time_point due = now;
            if (options_.pace) {
                due = std::max(now, lastInDue_) + ByteTime();
                lastInDue_ = due;
            }
            in_.push_back({buf[i], due, baud});
        }
    }
}

void Loop::Deliver(Clock::time_point now)
{
    while (!in_.empty() && in_.front().due <= now) {
        const TimedByte b = in_.front();
        in_.pop_front();
        controller_.Receive(b.byte, b.due, b.baud);
        Schedule(controller_.TakeOutput(), b.due);
        // Whatever else was on its way is lost with the line.
        if (HangUpIfAsked(b.due))
            return;
    }
}

bool Loop::HangUpIfAsked(Clock::time_point now)
{
    if (!controller_.TakeHangup())
        return false;
    CloseLine();
    // The device goes with the adapter. A link left behind would name a
    // pseudo-terminal number the system may give to somebody else's line, which
    // a programmer looking for its port would then open.
    RemoveLink();
    controller_.Note(now, "line closed, as an unplugged adapter would be");
    return true;
}

void Loop::Schedule(const std::vector<std::uint8_t>& bytes, Clock::time_point at)
{
    for (std::uint8_t b : bytes) {
        Clock::time_point due = at;
        if (options_.pace) {
            due = std::max(at, lastOutDue_) + ByteTime();
            lastOutDue_ = due;
        }
        out_.push_back({b, due, baud_});
    }
}

void Loop::WriteDue(Clock::time_point now)
{
    std::vector<std::uint8_t> due;
    for (const TimedByte& b : out_) {
        if (b.due > now)
            break;
        due.push_back(b.byte);
    }
    if (due.empty() || master_ < 0)
        return;

    if (!listening_) {
        out_.erase(out_.begin(), out_.begin() + std::ptrdiff_t(due.size()));
        // A boot ROM calling into a line nobody listens on is the normal case;
        // anything else going unheard is worth a line.
        if (controller_.CurrentStage() != Stage::BootRom)
            controller_.Note(now, std::to_string(due.size()) + " bytes lost: nobody has the port open");
        return;
    }
    const ssize_t n = ::write(master_, due.data(), due.size());
    if (n > 0) {
        out_.erase(out_.begin(), out_.begin() + n);
        controller_.NoteLineActivity(now);
        // The reply's last byte is on the line: from now on the programmer is
        // the one the line waits for.
        if (out_.empty() && controller_.CurrentStage() == Stage::Loader) {
            replyEnd_ = Clock::now();
            awaitingRequest_ = true;
        }
    }
    writeBlocked_ = n >= 0 ? std::size_t(n) < due.size() : errno == EAGAIN;
    if (n < 0 && errno != EAGAIN && errno != EINTR) {
        // EIO: the programmer closed the port between our look and the write.
        out_.erase(out_.begin(), out_.begin() + std::ptrdiff_t(due.size()));
        controller_.Note(now, std::to_string(due.size()) + " bytes lost: " + std::strerror(errno));
    }
}

void Loop::Publish()
{
    for (const Event& e : controller_.TakeEvents())
        if (sink_)
            sink_(e);
}

bool Loop::Wait(Clock::time_point now)
{
    Clock::time_point until = controller_.NextDeadline();
    if (!in_.empty())
        until = std::min(until, in_.front().due);
    if (!out_.empty() && !writeBlocked_)
        until = std::min(until, out_.front().due);
    if (master_ >= 0 && !listening_)
        until = std::min(until, now + kListenerCheck);

    pollfd fds[4] = {
        {wakeFd_, POLLIN, 0},
        {stopFd_, POLLIN, 0},
        {unplugFd_, POLLIN, 0},
        // A master without a listener reports a hang-up at every poll; it is
        // looked at on the timer instead.
        {listening_ ? master_ : -1, short(POLLIN | (writeBlocked_ ? POLLOUT : 0)), 0},
    };
    timespec timeout{};
    const timespec* wait = nullptr;
    if (until != Clock::time_point::max()) {
        const auto left = std::max(Clock::duration::zero(), until - now);
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        timeout.tv_sec = time_t(ns / 1000000000);
        timeout.tv_nsec = long(ns % 1000000000);
        wait = &timeout;
    }
    if (::ppoll(fds, 4, wait, nullptr) < 0 && errno != EINTR)
        Fail("ppoll");
    if (fds[0].revents & POLLIN) {
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t n = ::read(wakeFd_, &count, sizeof count);
    }
    if (fds[2].revents & POLLIN) {
        signalfd_siginfo info{};
        while (::read(unplugFd_, &info, sizeof info) == ssize_t(sizeof info))
            unplugging_ = true;
    }
    if (fds[3].revents & POLLOUT)
        writeBlocked_ = false;
    return fds[1].revents != 0;
}

void Loop::Run()
{
    Clock::time_point now = Clock::now();
    controller_.Start(now);
    try {
        OpenLine(now);
        while (!stopping_) {
            now = Clock::now();
            WatchLine(now);
            Deliver(now);
            controller_.Advance(now);
            Schedule(controller_.TakeOutput(), now);

            if (unplugging_.exchange(false))
                controller_.Unplug(now);
            HangUpIfAsked(now);
            if (options_.once && controller_.SessionsCompleted() > 0) {
                Publish();
                break;
            }
            if (master_ < 0 && controller_.CurrentStage() == Stage::BootRom) {
                // A new session after a hang-up: the adapter is plugged in again.
                OpenLine(now);
                controller_.Note(now, "the adapter is plugged in again");
            }
            WriteDue(now);
            Publish();
            if (Wait(now))
                break;
        }
    } catch (...) {
        Publish();
        CloseLine();
        RemoveLink();
        throw;
    }
    Publish();
    CloseLine();
    RemoveLink();
}

} // namespace sim
