// The component on real pseudo-terminals: the test plays the far end of the line
// on the master side, the component opens the slave through a symlink.

#include "vacomm.h"
#include "device.h"
#include "vadcb.h"
#include "vasupport.h"
#include "event_threads.h"
#include "message_of.h"

#include "pty_pair.h"
#include "scratch_dir.h"
#include "wait.h"

#include <QCoreApplication>
#include <QThread>

#include <iterator>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>
#include <thread>
#include <atomic>

namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

Bytes Join(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

termios LineOf(const PtyPair& pty)
{
    termios t{};
    ::tcgetattr(pty.MasterFd(), &t); // a pty master reports its slave's settings
    return t;
}

// Collects what reaches the application's exception report.
class ReportCollector {
public:
    ReportCollector()
    {
        SetVaExceptionReport([this](std::exception_ptr error) {
            try {
                std::rethrow_exception(error);
            } catch (const std::exception& e) {
                texts.push_back(e.what());
            }
        });
    }
    ~ReportCollector() { SetVaExceptionReport(nullptr); }
    std::vector<std::string> texts;
};

// A component set up as the programmer sets up its port, on a fresh pty.
class CommOnPty : public ::testing::Test {
protected:
    CommOnPty() : pty(dir / "ttyQR")
    {
        port.SetDeviceName(pty.Link().string());
        port.SetPortNum(1);
        port.SetBaudrate(br9600);
        port.SetFlowControl(fcNone);
        port.SetDTRControl(dtrDisable);
        port.SetRTSControl(rtsDisable);
        port.SetMonitorEvents({ceRxChar});
    }

    Bytes ReadAll(std::int32_t count)
    {
        Bytes got;
        std::uint8_t ch = 0;
        for (std::int32_t i = 0; i < count && port.ReadChar(ch); ++i)
            got.push_back(ch);
        return got;
    }

    ScratchDir dir;
    PtyPair pty;
    TVaComm port;
};

TEST_F(CommOnPty, OpensRawAtTheSpeedSetAndReopensAtAnother)
{
    port.Open();
    ASSERT_TRUE(port.IsOpen());
    EXPECT_EQ(pty.SlaveSpeed(), 9600u);

    port.Close();
    EXPECT_FALSE(port.IsOpen());
    port.SetBaudrate(br19200);
    port.Open();
    EXPECT_EQ(pty.SlaveSpeed(), 19200u);

    // Raw: every byte value passes unchanged in both directions.
    Bytes all(256);
    for (int i = 0; i < 256; ++i)
        all[std::size_t(i)] = std::uint8_t(i);
    for (std::uint8_t b : all)
        ASSERT_TRUE(port.WriteChar(b));
    EXPECT_EQ(pty.Read(all.size()), all);

    pty.Write(all);
    ASSERT_TRUE(WaitUntil([&] { return port.ReadBufUsed() == 256; }));
    EXPECT_EQ(ReadAll(256), all);
    std::uint8_t ch = 0;
    EXPECT_FALSE(port.ReadChar(ch));
}

TEST_F(CommOnPty, AnnouncesReceivedBytesOnTheUserInterfaceThread)
{
    std::vector<std::int32_t> counts;
    Bytes got;
    bool onUiThread = true;
    port.OnRxChar = [&](TVaCustomComm* sender, std::int32_t count) {
        onUiThread = onUiThread && QThread::currentThread() == qApp->thread();
        EXPECT_EQ(sender, &port);
        counts.push_back(count);
        const Bytes part = ReadAll(count);
        EXPECT_EQ(part.size(), std::size_t(count));
        got.insert(got.end(), part.begin(), part.end());
    };
    port.Open();
    pty.Write({0x06, 0x15});
    ASSERT_TRUE(WaitUntil([&] { return got.size() == 2; }));
    EXPECT_EQ(got, (Bytes{0x06, 0x15}));
    EXPECT_TRUE(onUiThread);
    for (std::int32_t c : counts)
        EXPECT_GT(c, 0);
}

TEST_F(CommOnPty, HandlerClosesAndReopensAtANewSpeed)
{
    int calls = 0;
    Bytes second;
    port.OnRxChar = [&](TVaCustomComm*, std::int32_t count) {
        ++calls;
        ReadAll(count);
        port.Close();
        port.SetBaudrate(br19200);
        port.Open();
        port.OnRxChar = [&](TVaCustomComm*, std::int32_t n) {
            const Bytes part = ReadAll(n);
            second.insert(second.end(), part.begin(), part.end());
        };
    };
    port.Open();
    pty.Write({'x'});
    ASSERT_TRUE(WaitUntil([&] { return calls == 1 && port.IsOpen(); }));
    EXPECT_EQ(pty.SlaveSpeed(), 19200u);
    pty.Write({'A', 'T'});
    ASSERT_TRUE(WaitUntil([&] { return second.size() == 2; }));
    EXPECT_EQ(second, (Bytes{'A', 'T'}));
    EXPECT_EQ(calls, 1);
}

TEST(CommClosed, NewComponentHasTheDefaultsAndIsClosed)
{
    TVaComm port;
    EXPECT_FALSE(port.IsOpen());
    EXPECT_FALSE(port.AutoOpen());
    EXPECT_EQ(port.Baudrate(), br1200);
    EXPECT_EQ(port.Parity(), paNone);
    EXPECT_EQ(port.Databits(), db8);
    EXPECT_EQ(port.Stopbits(), sb1);
    EXPECT_EQ(port.PortNum(), 0);
    EXPECT_EQ(port.DeviceName(), "COM%d");
    EXPECT_TRUE(port.MonitorEvents().Empty());
    EXPECT_EQ(port.EventChars().XonChar(), 17);
    EXPECT_EQ(port.EventChars().XoffChar(), 19);
    EXPECT_EQ(port.ReadBufSize(), 4096);
    EXPECT_EQ(port.WriteBufSize(), 2048);
    EXPECT_EQ(port.ReadTimeout(), 1000);
    EXPECT_EQ(port.WriteTimeout(), 1000);
    EXPECT_EQ(port.FlowControl(), fcRtsCts);
    EXPECT_TRUE(port.Options().Empty());
    EXPECT_EQ(port.XonLim(), 1024);
    EXPECT_EQ(port.XoffLim(), 1024);
    EXPECT_EQ(port.Priority(), tpNormal);
    EXPECT_EQ(port.DTRControl(), dtrEnable);
    EXPECT_EQ(port.RTSControl(), rtsEnable);

    int closed = 0;
    port.OnClose = [&](TVaCustomComm*) { ++closed; };
    EXPECT_EQ(port.ReadBufUsed(), 0);
    std::uint8_t ch = 0;
    EXPECT_FALSE(port.ReadChar(ch));
    TVaComStat status;
    status.cbInQue = 7;
    port.GetStatistics(status);
    EXPECT_EQ(status.cbInQue, 0u);
    port.PurgeReadWrite();
    port.Close();
    EXPECT_EQ(closed, 0);
    EXPECT_EQ(MessageOf([&] { port.WriteChar('A'); }), "Write error (9), Bad file descriptor");
    const char buf[2] = {'A', 'B'};
    EXPECT_EQ(MessageOf([&] { port.WriteBuf(buf, 2); }), "Write error (9), Bad file descriptor");
}

TEST(CommClosed, OpenFailuresNameThePortAndLeaveItClosed)
{
    ScratchDir dir;
    PtyPair pty(dir / "held");
    TVaComm holder;
    holder.SetDeviceName(pty.Link().string());
    holder.SetFlowControl(fcNone);
    holder.Open();
    std::filesystem::create_symlink(dir / "nowhere", dir / "dangling");
    dir.WriteFile("plain", "not a terminal");
    std::filesystem::create_directory(dir / "folder");

    const struct {
        std::string device;
        const char* text;
        bool missing; // may come back: an unplugged adapter
    } cases[] = {
        {(dir / "missing").string(), "Invalid port number (COM3)", true},
        {(dir / "dangling").string(), "Invalid port number (COM3)", true},
        {pty.Link().string(), "Can't open device COM3", false}, // held by another port
        // Paths that name no serial line: refused as no port, before anything
        // of the line settings is tried on them, and never waited for.
        {(dir / "folder").string(), "Invalid port number (COM3)", false},
        {(dir / "plain").string(), "Invalid port number (COM3)", false},
        {"/dev/null", "Invalid port number (COM3)", false},
    };
    for (const auto& c : cases) {
        TVaComm port;
        port.SetPortNum(3);
        port.SetDeviceName(c.device);
        EXPECT_EQ(MessageOf([&] { port.Open(); }), c.text) << c.device;
        bool missing = false;
        try {
            port.Open();
        } catch (const EVaCommDeviceMissing&) {
            missing = true;
        } catch (const EVaCommError&) {
        }
        EXPECT_EQ(missing, c.missing) << c.device;
        EXPECT_FALSE(port.IsOpen()) << c.device;
    }
    EXPECT_EQ(dir.ReadFile("plain"), "not a terminal") << "nothing was written to it";
    // The holder still works.
    ASSERT_TRUE(holder.WriteChar('k'));
    EXPECT_EQ(pty.Read(1), Bytes{'k'});
}

// A terminal mapped as the port by mistake (the one the program was started
// from, say) must not be left raw, without echo or Ctrl-C, once it is let go.
TEST_F(CommOnPty, ClosingPutsBackTheLineSettingsItFound)
{
    termios cooked = LineOf(pty);
    cooked.c_iflag |= ICRNL | IXON;
    cooked.c_oflag |= OPOST | ONLCR;
    cooked.c_lflag |= ICANON | ECHO | ECHOE | ISIG | IEXTEN;
    ::cfsetspeed(&cooked, B38400);
    ASSERT_EQ(::tcsetattr(pty.MasterFd(), TCSANOW, &cooked), 0);

    port.Open();
    const termios open = LineOf(pty);
    EXPECT_EQ(open.c_lflag & (ICANON | ECHO | ISIG), 0u) << "raw while the programmer has it";
    EXPECT_EQ(pty.SlaveSpeed(), 9600u);
    port.Close();

    const termios after = LineOf(pty);
    EXPECT_EQ(after.c_lflag & (ICANON | ECHO | ECHOE | ISIG | IEXTEN),
              cooked.c_lflag & (ICANON | ECHO | ECHOE | ISIG | IEXTEN));
    EXPECT_EQ(after.c_iflag & (ICRNL | IXON), tcflag_t(ICRNL | IXON));
    EXPECT_EQ(after.c_oflag & (OPOST | ONLCR), tcflag_t(OPOST | ONLCR));
    EXPECT_EQ(pty.SlaveSpeed(), 38400u);
}

TEST_F(CommOnPty, HoldsTheDeviceAgainstOtherProcessesUntilClosed)
{
    // As a second instance of the program would: open and take the lock.
    const auto tryFromAnotherProcess = [&] {
        const pid_t child = ::fork();
        if (child == 0) {
            const int fd = ::open(pty.Link().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            // Straight to the kernel: a sanitizer's exit hook would judge the
            // parent's threads, which the child does not have, and change the
            // status.
            ::syscall(SYS_exit_group, fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : 1);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    };
    port.Open();
    EXPECT_FALSE(tryFromAnotherProcess());
    port.Close();
    EXPECT_TRUE(tryFromAnotherProcess());

    // A lock taken by someone else keeps this port out.
    const int other = ::open(pty.Link().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(other, 0);
    ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(MessageOf([&] { port.Open(); }), "Can't open device COM1");
    ::close(other);
    port.Open();
    EXPECT_TRUE(port.IsOpen());
}

TEST_F(CommOnPty, OpenOnAnOpenPortRaisesAndKeepsItWorking)
{
    port.Open();
    EXPECT_EQ(MessageOf([&] { port.Open(); }), "Can't perform this operation when port is open");
    EXPECT_TRUE(port.IsOpen());
    ASSERT_TRUE(port.WriteChar('!'));
    EXPECT_EQ(pty.Read(1), Bytes{'!'});
}

TEST_F(CommOnPty, EveryRateReachesTheLine)
{
    const unsigned rates[] = {110, 300, 600, 1200, 2400, 4800, 9600, 14400,
                              19200, 38400, 56000, 57600, 115200, 128000, 256000};
    port.Open();
    for (int i = br110; i <= br256000; ++i) {
        port.SetBaudrate(TVaBaudrate(i));
        EXPECT_EQ(pty.SlaveSpeed(), rates[i]);
    }
}

TEST_F(CommOnPty, StopBitsAndFlowControlReachTheLineRaw)
{
    const struct {
        const char* what;
        std::function<void(TVaCustomComm&)> set;
        tcflag_t cflag; // of CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS
        tcflag_t iflag; // of IXON | IXOFF | INPCK
    } cases[] = {
        {"ProgPort", [](auto&) {}, CS8, 0},
        {"2 stop bits", [](auto& c) { c.SetStopbits(sb2); }, CS8 | CSTOPB, 0},
        {"XON/XOFF", [](auto& c) { c.SetFlowControl(fcXonXoff); }, CS8, IXON | IXOFF},
        {"RTS/CTS", [](auto& c) { c.SetFlowControl(fcRtsCts); }, CS8 | CRTSCTS, 0},
        {"parity check", [](auto& c) { c.SetOptions({coParityCheck}); }, CS8, INPCK},
    };
    const tcflag_t cmask = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
    for (const auto& c : cases) {
        // Whatever a previous user left on the line must not survive.
        termios dirty = LineOf(pty);
        dirty.c_iflag |= ICRNL | IXANY | ISTRIP;
        dirty.c_oflag |= OPOST;
        dirty.c_lflag |= ICANON | ECHO | ISIG;
        ::tcsetattr(pty.MasterFd(), TCSANOW, &dirty);

        TVaComm comm;
        comm.SetDeviceName(pty.Link().string());
        comm.SetBaudrate(br9600);
        comm.SetFlowControl(fcNone);
        comm.SetDTRControl(dtrDisable);
        comm.SetRTSControl(rtsDisable);
        comm.Open();
        c.set(comm);
        const termios t = LineOf(pty);
        EXPECT_EQ(t.c_cflag & cmask, c.cflag) << c.what;
        EXPECT_EQ(t.c_iflag & (IXON | IXOFF | INPCK), c.iflag) << c.what;
        EXPECT_TRUE(t.c_cflag & CLOCAL) << c.what;
        EXPECT_TRUE(t.c_cflag & CREAD) << c.what;
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u) << c.what;
        EXPECT_EQ(t.c_oflag & OPOST, 0u) << c.what;
        EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | IXANY), 0u) << c.what;
    }
}

TEST_F(CommOnPty, FramingTheDriverDoesNotKeepIsRefusedAndTheLineRestored)
{
    // A pseudo-terminal keeps neither a parity nor a character size other
    // than 8: exactly the case of a driver that accepts a setting and then
    // does something else, which only reading back reveals.
    port.SetStopbits(sb2);
    port.Open();
    const termios before = LineOf(pty);
    EXPECT_EQ(MessageOf([&] { port.SetParity(paEven); }), "Error writing dcb (22), Invalid argument");
    EXPECT_EQ(port.Parity(), paEven);
    EXPECT_EQ(MessageOf([&] { port.SetBaudrate(br57600); }), "Error writing dcb (22), Invalid argument");
    const termios after = LineOf(pty);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(pty.SlaveSpeed(), 9600u);
    port.SetParity(paNone);
    EXPECT_EQ(pty.SlaveSpeed(), 57600u);
}

TEST_F(CommOnPty, EventCharactersBecomeTheFlowControlCharacters)
{
    port.SetFlowControl(fcXonXoff);
    port.Open();
    port.EventChars().SetXonChar('Q');
    EXPECT_EQ(LineOf(pty).c_cc[VSTART], 'Q');
    TVaEventChars chars;
    chars.SetXonChar(0x01);
    chars.SetXoffChar(0x02);
    port.SetEventChars(chars);
    const termios t = LineOf(pty);
    EXPECT_EQ(t.c_cc[VSTART], 0x01);
    EXPECT_EQ(t.c_cc[VSTOP], 0x02);
}

TEST_F(CommOnPty, SettingsLinuxCannotApplyAreRefusedAndLeaveTheLineAlone)
{
    const struct {
        const char* what;
        std::function<void(TVaCustomComm&)> set;
        std::function<bool(TVaCustomComm&)> stored;
    } cases[] = {
        {"4 data bits", [](auto& c) { c.SetDatabits(db4); }, [](auto& c) { return c.Databits() == db4; }},
        {"1.5 stop bits", [](auto& c) { c.SetStopbits(sb15); }, [](auto& c) { return c.Stopbits() == sb15; }},
        {"DTR/DSR flow", [](auto& c) { c.SetFlowControl(fcDtrDsr); },
         [](auto& c) { return c.FlowControl() == fcDtrDsr; }},
        {"DTR handshake", [](auto& c) { c.SetDTRControl(dtrHandshake); },
         [](auto& c) { return c.DTRControl() == dtrHandshake; }},
    };
    for (const auto& c : cases) {
        TVaComm comm;
        comm.SetDeviceName(pty.Link().string());
        comm.SetBaudrate(br9600);
        comm.SetFlowControl(fcNone);
        comm.SetStopbits(sb2);
        comm.Open();
        const termios before = LineOf(pty);
        EXPECT_EQ(MessageOf([&] { c.set(comm); }), "Error writing dcb (22), Invalid argument") << c.what;
        EXPECT_TRUE(c.stored(comm)) << c.what;
        const termios after = LineOf(pty);
        EXPECT_EQ(after.c_cflag, before.c_cflag) << c.what;
        EXPECT_EQ(pty.SlaveSpeed(), 9600u) << c.what;
        // Stored, so the next open fails the same way and stays closed.
        comm.Close();
        EXPECT_EQ(MessageOf([&] { comm.Open(); }), "Error writing dcb (22), Invalid argument") << c.what;
        EXPECT_FALSE(comm.IsOpen()) << c.what;
    }
}

TEST_F(CommOnPty, DefaultSettingsOpenAPtyWithoutModemLines)
{
    TVaComm plain; // RTS/CTS, DTR and RTS on: a pty has no lines to set
    plain.SetDeviceName(pty.Link().string());
    plain.Open();
    EXPECT_TRUE(LineOf(pty).c_cflag & CRTSCTS);
    EXPECT_EQ(pty.SlaveSpeed(), 1200u);
}

TEST_F(CommOnPty, BytesArrivingDuringAHandlerAreAnnouncedNext)
{
    std::vector<std::int32_t> counts;
    port.OnRxChar = [&](TVaCustomComm*, std::int32_t count) {
        counts.push_back(count);
        if (counts.size() == 1) {
            pty.Write({'b', 'c', 'd'});
            // Wait for them without serving events: they are in the queue now.
            const auto end = std::chrono::steady_clock::now() + 5s;
            while (port.ReadBufUsed() < count + 3 && std::chrono::steady_clock::now() < end) {
            }
        }
        ReadAll(count);
    };
    port.Open();
    pty.Write({'a'});
    ASSERT_TRUE(WaitUntil([&] { return counts.size() == 2; }));
    EXPECT_EQ(counts, (std::vector<std::int32_t>{1, 3}));
    EXPECT_EQ(port.ReadBufUsed(), 0);
}

TEST_F(CommOnPty, UnreadBytesAreCountedAgainOnlyWhenMoreArrive)
{
    // A handler that reads nothing: the bytes stay, counted as told.
    std::int32_t told = 0;
    port.OnRxChar = [&](TVaCustomComm*, std::int32_t count) { told = count; };
    port.Open();
    pty.Write({1, 2, 3, 4});
    ASSERT_TRUE(WaitUntil([&] { return told == 4; }));
    // Nothing new arrives from here on, so nothing is announced.
    std::vector<std::int32_t> counts;
    port.OnRxChar = [&](TVaCustomComm*, std::int32_t count) {
        counts.push_back(count);
        ReadAll(1); // leaves the rest
    };
    RunEventsFor(100ms);
    EXPECT_TRUE(counts.empty());

    pty.Write({5});
    ASSERT_TRUE(WaitUntil([&] { return counts.size() == 1; }));
    RunEventsFor(100ms);
    pty.Write({6});
    ASSERT_TRUE(WaitUntil([&] { return counts.size() == 2; }));
    RunEventsFor(50ms);
    EXPECT_EQ(counts, (std::vector<std::int32_t>{5, 5}));
    EXPECT_EQ(ReadAll(10), (Bytes{3, 4, 5, 6}));
}

TEST_F(CommOnPty, AModalLoopInAHandlerServesTheReopenedPortsDispatches)
{
    int outer = 0;
    Bytes inner;
    bool servedInside = false;
    port.OnRxChar = [&](TVaCustomComm*, std::int32_t count) {
        ++outer;
        ReadAll(count);
        port.Close();
        port.Open();
        port.OnRxChar = [&](TVaCustomComm*, std::int32_t n) {
            const Bytes part = ReadAll(n);
            inner.insert(inner.end(), part.begin(), part.end());
        };
        pty.Write({'n'});
        // As a message box would: an event loop inside the handler.
        servedInside = WaitUntil([&] { return !inner.empty(); });
    };
    port.Open();
    pty.Write({'o'});
    ASSERT_TRUE(WaitUntil([&] { return outer == 1 && servedInside; }));
    EXPECT_EQ(inner, Bytes{'n'});
    EXPECT_EQ(outer, 1);
}

TEST_F(CommOnPty, AnExceptionInAHandlerIsReportedAndReceptionGoesOn)
{
    ReportCollector reports;
    int calls = 0;
    port.OnRxChar = [&](TVaCustomComm*, std::int32_t count) {
        ++calls;
        ReadAll(count);
        if (calls == 1)
            throw EVaCommError("handler failed");
    };
    port.Open();
    pty.Write({'1'});
    ASSERT_TRUE(WaitUntil([&] { return calls == 1 && !reports.texts.empty(); }));
    EXPECT_EQ(reports.texts, std::vector<std::string>{"handler failed"});
    pty.Write({'2'});
    ASSERT_TRUE(WaitUntil([&] { return calls == 2; }));
    EXPECT_EQ(reports.texts.size(), 1u);
}

// With several ports in one program each failure must reach the owner of its
// port, also one raised after the handler closed the port (a failed reopen).
TEST_F(CommOnPty, AnExceptionGoesToThePortsOwnReportWhenItHasOne)
{
    ReportCollector application;
    std::vector<std::string> own;
    port.SetExceptionReport([&](std::exception_ptr error) {
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            own.push_back(e.what());
        }
    });
    int calls = 0;
    port.OnRxChar = [&](TVaCustomComm* sender, std::int32_t count) {
        ReadAll(count);
        if (++calls == 1)
            throw EVaCommError("handler failed");
        sender->Close();
        throw EVaCommError("reopen failed");
    };
    port.Open();
    pty.Write({'1'});
    ASSERT_TRUE(WaitUntil([&] { return own.size() == 1; }));
    pty.Write({'2'});
    ASSERT_TRUE(WaitUntil([&] { return own.size() == 2; }));
    EXPECT_EQ(own, (std::vector<std::string>{"handler failed", "reopen failed"}));
    EXPECT_TRUE(application.texts.empty());
}

// A reader that knows how many bytes it awaits is told once they are all there,
// not once a byte; the next open announces byte by byte again.
TEST_F(CommOnPty, AThresholdAnnouncesOnceEnoughBytesWait)
{
    std::vector<std::int32_t> counts;
    port.OnRxChar = [&](TVaCustomComm*, std::int32_t count) {
        counts.push_back(count);
        ReadAll(count);
    };
    port.Open();
    port.SetRxThreshold(5);
    pty.Write({1, 2, 3});
    RunEventsFor(200ms);
    EXPECT_TRUE(counts.empty()) << "three of five bytes announced";
    pty.Write({4, 5});
    ASSERT_TRUE(WaitUntil([&] { return !counts.empty(); }));
    EXPECT_EQ(counts, std::vector<std::int32_t>{5});

    // Lowered below what already waits: told at once, not at the next byte.
    counts.clear();
    port.SetRxThreshold(4);
    pty.Write({1, 2});
    RunEventsFor(200ms);
    ASSERT_TRUE(counts.empty());
    port.SetRxThreshold(2);
    ASSERT_TRUE(WaitUntil([&] { return !counts.empty(); }));
    EXPECT_EQ(counts, std::vector<std::int32_t>{2});

    port.Close();
    port.Open();
    counts.clear();
    pty.Write({6});
    ASSERT_TRUE(WaitUntil([&] { return !counts.empty(); }));
    EXPECT_EQ(counts, std::vector<std::int32_t>{1});
}

// On a line that paces its bytes the event thread sleeps through a request's
// line time and the reply's, rather than waking at each byte. What it sleeps
// through must still be announced whole, and a reader that lowers its threshold
// meanwhile must not wait for the sleep to end. At 300 baud the request below
// takes a second on the line, far beyond the waits here.
TEST_F(CommOnPty, ARestThroughARequestAnnouncesTheWholeReplyAndEndsWhenTheThresholdFalls)
{
    port.SetBaudrate(br300);
    std::vector<std::int32_t> counts;
    std::vector<std::uint8_t> heard;
    const Bytes request(30, 0x55);
    port.OnRxChar = [&](TVaCustomComm* sender, std::int32_t count) {
        counts.push_back(count);
        const Bytes got = ReadAll(count);
        heard.insert(heard.end(), got.begin(), got.end());
        if (counts.size() == 1) {
            sender->WriteBuf(request.data(), std::int32_t(request.size()));
            sender->SetRxThreshold(10);
        }
    };
    port.Open();
    port.SetRxThreshold(3);
    // A first reply that trickles in shows the line to be paced.
    pty.Write({1});
    RunEventsFor(50ms);
    pty.Write({2, 3});
    ASSERT_TRUE(WaitUntil([&] { return counts.size() == 1; }));
    EXPECT_EQ(pty.Read(request.size()), request);

    // The peer answers early, and the reader is content with one byte.
    pty.Write({4});
    RunEventsFor(50ms);
    port.SetRxThreshold(1);
    ASSERT_TRUE(WaitUntil([&] { return counts.size() == 2; }, 600ms))
        << "a lowered threshold waited for the rest to end";

    // The next reply comes in pieces while the thread may rest: one announcement.
    port.SetRxThreshold(6);
    pty.Write({5, 6});
    RunEventsFor(30ms);
    pty.Write({7, 8, 9, 10});
    ASSERT_TRUE(WaitUntil([&] { return counts.size() == 3; }));
    EXPECT_EQ(counts, (std::vector<std::int32_t>{3, 1, 6}));
    EXPECT_EQ(heard, (Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
}

// The event thread reads the threshold, then sets the device's wake count from
// it; a reader that lowers the threshold in between must win, or the thread
// waits for bytes that are not coming.
TEST(DeviceOnPty, AThresholdLoweredWhileTheWakeCountIsChosenWins)
{
    ScratchDir dir;
    PtyPair pty(dir / "ttyQR");
    const auto device = VaCreateSystemDevice();
    ASSERT_EQ(device->Open(pty.Link().string()).Error, 0);
    ASSERT_EQ(device->SetReadThreshold(10), 0);
    const std::uint8_t seenByTheThread = device->ReadThreshold();
    ASSERT_EQ(device->SetReadThreshold(2), 0);
    ASSERT_EQ(device->SetWakeCount(seenByTheThread), 0);
    pty.Write({1, 2});
    int error = 0;
    const TVaHandle wake = VaCreateEventHandle(error);
    ASSERT_EQ(error, 0);
    EXPECT_EQ(device->WaitReadable(true, wake, 3000), TVaDeviceWait::Readable);
    VaCloseHandle(wake);
    device->Close();
}

// A port whose device is told its driver: a pseudo-terminal standing in for the
// adapter it names.
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

// Each strategy over one whole session held as the programmer holds it: a
// request sent from each notification, the threshold set for the reply, and
// replies slower than their line. Every reply is announced once and whole; the
// drivers that answer a settings change with USB requests get no settings
// written between open and close. An empty name is read from sysfs.
TEST(WakeStrategyOnPty, ASessionWritesSettingsOnlyWhereTheDriverTakesThemForFree)
{
    const struct {
        const char* driver;
        const char* found;
        TVaWakeStrategy strategy;
    } cases[] = {
        {"", "pty", TVaWakeStrategy::WakeCount},
        {"cp210x", "cp210x", TVaWakeStrategy::WakeCount},
        {"ftdi_sio", "ftdi_sio", TVaWakeStrategy::Rest},
        {"an_unknown_uart", "an_unknown_uart", TVaWakeStrategy::Rest},
    };
    constexpr int kBlocks = 6;
    const Bytes reply = {0x06, 1, 2, 3, 4, 5};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.found);
        ScratchDir dir;
        PtyPair pty(dir / "ttyQR");
        NamedDriverComm port(c.driver);
        port.SetDeviceName(pty.Link().string());
        port.SetBaudrate(br9600);
        port.SetFlowControl(fcNone);
        port.SetDTRControl(dtrDisable);
        port.SetRTSControl(rtsDisable);
        port.SetMonitorEvents({ceRxChar});
        std::vector<std::int32_t> counts;
        Bytes heard;
        int sent = 0;
        const auto request = [&](TVaCustomComm* sender) {
            const std::uint8_t bytes[] = {'P', std::uint8_t(sent++)};
            sender->Send(bytes, 2);
            sender->SetRxThreshold(std::int32_t(reply.size()));
        };
        port.OnRxChar = [&](TVaCustomComm* sender, std::int32_t count) {
            counts.push_back(count);
            std::uint8_t ch = 0;
            for (std::int32_t i = 0; i < count && sender->ReadChar(ch); ++i)
                heard.push_back(ch);
            if (sent < kBlocks)
                request(sender);
        };
        port.Open();
        EXPECT_EQ(port.device->Driver(), c.found);
        EXPECT_EQ(port.device->WakeStrategy(), c.strategy);
        const std::uint64_t atOpen = port.device->SettingsWrites();
        request(&port);
        for (int block = 0; block < kBlocks; ++block) {
            ASSERT_EQ(pty.Read(2), (Bytes{'P', std::uint8_t(block)}));
            pty.Write({reply.front()});
            RunEventsFor(20ms);
            pty.Write(Bytes(reply.begin() + 1, reply.end()));
            ASSERT_TRUE(WaitUntil([&] { return counts.size() == std::size_t(block + 1); }));
        }
        const std::uint64_t during = port.device->SettingsWrites() - atOpen;
        port.Close();
        EXPECT_EQ(counts, std::vector<std::int32_t>(kBlocks, std::int32_t(reply.size())));
        EXPECT_EQ(heard.size(), reply.size() * kBlocks);
        if (c.strategy == TVaWakeStrategy::Rest)
            EXPECT_EQ(during, 0u);
        else
            EXPECT_GT(during, 0u) << "the threshold was meant to reach VMIN";
    }
}

// On a line seen to pace its bytes, a handler that writes a request and raises
// the threshold sends the event thread to rest through the request's line time
// and the reply's. At 300 baud the 4 KiB request below is over two minutes.
class RestingOnPty : public CommOnPty {
protected:
    RestingOnPty()
    {
        port.SetBaudrate(br300);
        port.OnRxChar = [this](TVaCustomComm* sender, std::int32_t count) {
            counts.push_back(count);
            ReadAll(count);
            if (onReply)
                onReply(sender);
        };
    }

    // Opens the port and shows it a reply that trickles in.
    void OpenOnAPacedLine()
    {
        port.Open();
        port.SetRxThreshold(3);
        Trickle({1, 2, 3});
        ASSERT_TRUE(WaitUntil([&] { return counts.size() == 1; }));
    }

    void Trickle(const Bytes& reply)
    {
        pty.Write({reply.front()});
        RunEventsFor(50ms);
        pty.Write(Bytes(reply.begin() + 1, reply.end()));
    }

    void SendLongRequest(TVaCustomComm* sender)
    {
        sender->Send(longRequest.data(), std::int32_t(longRequest.size()));
    }

    const Bytes longRequest = Bytes(4096, 0x55);
    std::vector<std::int32_t> counts;
    std::function<void(TVaCustomComm*)> onReply;
};

// What a purge drops never reaches the line: neither a rest under way nor the
// next one may wait for its line time.
TEST_F(RestingOnPty, APurgeEndsTheRestThroughWhatItDropped)
{
    OpenOnAPacedLine();
    // Purged and followed by a short request inside one handler: the next rest
    // is chosen from what is left to send.
    onReply = [this](TVaCustomComm* sender) {
        onReply = nullptr;
        SendLongRequest(sender);
        sender->PurgeReadWrite();
        const std::uint8_t shortRequest[] = {'V', 'V', 'V'};
        sender->Send(shortRequest, 3);
        sender->SetRxThreshold(5);
    };
    Trickle({4, 5, 6});
    ASSERT_TRUE(WaitUntil([&] { return counts.size() == 2; }));
    Trickle({7, 8, 9, 10, 11});
    ASSERT_TRUE(WaitUntil([&] { return counts.size() == 3; }, 3s))
        << "the rest waited for the line time of purged bytes";

    // Purged while the thread already rests through it.
    onReply = [this](TVaCustomComm* sender) {
        onReply = nullptr;
        SendLongRequest(sender);
        sender->SetRxThreshold(10);
    };
    Trickle({12, 13, 14, 15, 16});
    ASSERT_TRUE(WaitUntil([&] { return counts.size() == 4; }));
    RunEventsFor(100ms);
    port.PurgeReadWrite();
    Trickle(Bytes(10, 0x2A));
    ASSERT_TRUE(WaitUntil([&] { return counts.size() == 5; }, 3s))
        << "the rest under way outlived the purge";
    EXPECT_EQ(counts, (std::vector<std::int32_t>{3, 3, 5, 5, 10}));
}

// A line that hangs up sends nothing more: the rest ends, and the failure is
// reported as for a thread that waited on the device.
TEST_F(RestingOnPty, ARestEndsWhenTheLineHangsUp)
{
    ReportCollector reports;
    OpenOnAPacedLine();
    onReply = [this](TVaCustomComm* sender) {
        onReply = nullptr;
        SendLongRequest(sender);
        sender->SetRxThreshold(10);
    };
    Trickle({4, 5, 6});
    ASSERT_TRUE(WaitUntil([&] { return counts.size() == 2; }));
    RunEventsFor(100ms);
    pty.ReleaseSlave();
    pty.HangUp();
    EXPECT_TRUE(WaitUntil([&] { return !reports.texts.empty(); }, 3s))
        << "the rest outlived the line";
    EXPECT_EQ(reports.texts,
              std::vector<std::string>{"Error retrieving statistics (5), Input/output error"});
    port.Close();
}

TEST_F(CommOnPty, CloseInsideAHandlerEndsTheThreadAfterTheHandler)
{
    int calls = 0;
    bool ranToEnd = false;
    port.OnRxChar = [&](TVaCustomComm*, std::int32_t) {
        ++calls;
        port.Close();
        ranToEnd = true;
    };
    port.Open();
    pty.Write({'x'});
    ASSERT_TRUE(WaitUntil([&] { return ranToEnd; }));
    EXPECT_FALSE(port.IsOpen());
    ASSERT_TRUE(WaitUntil([] { return EventThreads().empty(); }));
    RunEventsFor(30ms);
    EXPECT_EQ(calls, 1);
}

TEST_F(CommOnPty, CloseWakesAnIdleThreadWhichEnds)
{
    port.Open();
    ASSERT_TRUE(WaitUntil([] { return EventThreads().size() == 1; }));
    port.Close();
    EXPECT_TRUE(WaitUntil([] { return EventThreads().empty(); }));
}

TEST_F(CommOnPty, ThePriorityIsTheThreadsForItsWholeLife)
{
    port.SetPriority(tpLowest);
    int calls = 0;
    port.OnRxChar = [&](TVaCustomComm*, std::int32_t count) {
        ++calls;
        ReadAll(count);
    };
    port.Open();
    // The thread is born with the level of the thread that opened the port,
    // and goes ten steps lower (a lower level needs no privilege).
    errno = 0;
    const long expected = std::min(::getpriority(PRIO_PROCESS, 0) + 10, 19);
    ASSERT_TRUE(WaitUntil([&] {
        const auto threads = EventThreads();
        return threads.size() == 1 && threads[0].nice == expected;
    }));
    pty.Write({'a'});
    ASSERT_TRUE(WaitUntil([&] { return calls == 1; }));
    const auto threads = EventThreads();
    ASSERT_EQ(threads.size(), 1u);
    EXPECT_EQ(threads[0].nice, expected);
}

TEST_F(CommOnPty, APeerThatHangsUpIsReportedOnceAndDoesNotMakeTheThreadSpin)
{
    ReportCollector reports;
    int calls = 0;
    port.OnRxChar = [&](TVaCustomComm*, std::int32_t count) {
        ++calls;
        ReadAll(count);
    };
    port.Open();
    pty.ReleaseSlave();
    pty.HangUp();
    ASSERT_TRUE(WaitUntil([&] { return !reports.texts.empty(); }));
    const auto before = EventThreads();
    ASSERT_EQ(before.size(), 1u);
    const auto start = std::chrono::steady_clock::now();
    RunEventsFor(500ms);
    const auto wall = std::chrono::steady_clock::now() - start;
    const auto after = EventThreads();
    ASSERT_EQ(after.size(), 1u);
    // A spinning thread would burn most of the half second; a resting one
    // takes a few wake-ups. (Clock ticks are 10 ms.)
    const auto cpuMs = (after[0].cpuTicks - before[0].cpuTicks) * 1000 / ::sysconf(_SC_CLK_TCK);
    EXPECT_LT(cpuMs, std::chrono::duration_cast<std::chrono::milliseconds>(wall).count() / 10);
    EXPECT_EQ(reports.texts,
              std::vector<std::string>{"Error retrieving statistics (5), Input/output error"});
    EXPECT_EQ(calls, 0);
    // The dead port still closes, so it can be opened again once the device is
    // back.
    port.Close();
    EXPECT_FALSE(port.IsOpen());
}

TEST_F(CommOnPty, WritesGiveUpAfterTheWriteTimeout)
{
    port.SetWriteTimeout(100);
    port.Open();
    // Nobody reads the master: the line's queues fill and stay full.
    Bytes lots(1 << 20, 0x55);
    const auto start = std::chrono::steady_clock::now();
    const std::int32_t written = port.WriteBuf(lots.data(), std::int32_t(lots.size()));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 100ms);
    EXPECT_GT(written, 0);
    EXPECT_LT(written, std::int32_t(lots.size()));
    // A single byte into the full queue times out with nothing written.
    EXPECT_FALSE(port.WriteChar(0x55));
    EXPECT_EQ(pty.Drain(50ms).size(), std::size_t(written));
}

// The time-out is a stall: a slow line that keeps taking bytes gets the whole
// write, however long it takes (a large loader at 9600 baud).
TEST_F(CommOnPty, AWriteToALineThatKeepsTakingBytesIsNotCutShort)
{
    port.SetWriteTimeout(100);
    port.Open();
    Bytes lots(256 * 1024, 0x5A);
    std::atomic<bool> done{false};
    std::size_t taken = 0;
    std::thread reader([&] {
        // A few kilobytes at a time, each after a pause shorter than the time-out
        // but adding up to many of them.
        while (!done) {
            taken += pty.Read(4096, 40ms).size();
            std::this_thread::sleep_for(20ms);
        }
        taken += pty.Drain(50ms).size();
    });
    const auto start = std::chrono::steady_clock::now();
    const std::int32_t written = port.WriteBuf(lots.data(), std::int32_t(lots.size()));
    const auto took = std::chrono::steady_clock::now() - start;
    done = true;
    reader.join();
    EXPECT_EQ(written, std::int32_t(lots.size()));
    EXPECT_EQ(taken, lots.size());
    EXPECT_GT(took, 300ms) << "the reader was meant to be slower than the time-out";
}

// Send never holds up its caller: the device takes what it can, the rest goes as
// it takes it while the caller's event loop runs, in order and whole.
TEST_F(CommOnPty, SentBytesGoOutWholeAndInOrderWhileTheCallerGoesOn)
{
    port.SetWriteTimeout(300);
    port.Open();
    Bytes first(200 * 1024);
    for (std::size_t i = 0; i < first.size(); ++i)
        first[i] = std::uint8_t(i * 13 + i / 251);
    const Bytes second = {'e', 'n', 'd'};
    std::atomic<bool> done{false};
    Bytes taken;
    std::thread reader([&] {
        // Slower than the line's queues can hide, never stalling for the time-out.
        while (!done) {
            const Bytes chunk = pty.Read(4096, 30ms);
            taken.insert(taken.end(), chunk.begin(), chunk.end());
            std::this_thread::sleep_for(10ms);
        }
    });
    ReportCollector reports;
    port.Send(first.data(), std::int32_t(first.size()));
    EXPECT_GT(port.SendPending(), 0) << "the caller was meant to go on before the line took it all";
    port.Send(second.data(), std::int32_t(second.size()));
    EXPECT_TRUE(WaitUntil([&] { return port.SendPending() == 0; }, 30s));
    RunEventsFor(100ms);
    done = true;
    reader.join();
    EXPECT_EQ(taken, Join(first, second));
    EXPECT_TRUE(reports.texts.empty());
}

// A line that stops taking bytes ends the send after the write time-out: the
// rest is dropped, and the failure reaches the port's report once.
TEST_F(CommOnPty, ASendTheLineStopsTakingIsDroppedAndReportedOnce)
{
    port.SetWriteTimeout(200);
    port.Open();
    std::vector<std::string> own;
    port.SetExceptionReport([&](std::exception_ptr error) {
        try {
            std::rethrow_exception(error);
        } catch (const EVaCommWriteError& e) {
            own.push_back(e.what());
        }
    });
    Bytes lots(1 << 20, 0x33);
    port.Send(lots.data(), std::int32_t(lots.size()));
    ASSERT_TRUE(WaitUntil([&] { return !own.empty(); }));
    RunEventsFor(400ms);
    EXPECT_EQ(own, std::vector<std::string>{"Write error (110), Connection timed out"});
    EXPECT_EQ(port.SendPending(), 0);
    const std::size_t reached = pty.Drain(50ms).size();
    EXPECT_GT(reached, 0u);
    EXPECT_LT(reached, lots.size());
    // The line is usable again at once.
    port.Send(lots.data(), 1);
    EXPECT_EQ(pty.Read(1), Bytes{0x33});
}

TEST_F(CommOnPty, PurgingOrClosingDropsWhatIsStillQueued)
{
    for (const bool close : {false, true}) {
        SCOPED_TRACE(close ? "close" : "purge");
        port.Open();
        Bytes lots(1 << 20, 0x44);
        port.Send(lots.data(), std::int32_t(lots.size()));
        ASSERT_GT(port.SendPending(), 0);
        if (close)
            port.Close();
        else
            port.PurgeReadWrite();
        EXPECT_EQ(port.SendPending(), 0);
        pty.Drain(50ms);
        RunEventsFor(100ms);
        EXPECT_TRUE(pty.Drain(50ms).empty()) << "nothing more reaches the line";
        if (!close)
            port.Close();
    }
    const std::uint8_t b = 1;
    EXPECT_EQ(MessageOf([&] { port.Send(&b, 1); }), "Write error (9), Bad file descriptor");
}

// A real UART's driver keeps the low-latency flag; a pseudo-terminal has none.
// The flag is asked for while the port is open and put back at close.
TEST(CommOnUart, AsksForLowLatencyWhileOpenAndPutsTheFlagBack)
{
    const char* const device = "/dev/ttyS0";
    const int probe = ::open(device, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (probe < 0)
        GTEST_SKIP() << device << " cannot be opened here: " << std::strerror(errno);
    serial_struct info{};
    if (::ioctl(probe, TIOCGSERIAL, &info) != 0) {
        ::close(probe);
        GTEST_SKIP() << device << " has no serial settings (TIOCGSERIAL): " << std::strerror(errno);
    }
    // Start from the flag clear, as a driver leaves it.
    info.flags &= ~ASYNC_LOW_LATENCY;
    if (::ioctl(probe, TIOCSSERIAL, &info) != 0) {
        ::close(probe);
        GTEST_SKIP() << device << " refuses serial settings (TIOCSSERIAL): " << std::strerror(errno);
    }
    const auto lowLatency = [&] {
        serial_struct now{};
        return ::ioctl(probe, TIOCGSERIAL, &now) == 0 && (now.flags & ASYNC_LOW_LATENCY) != 0;
    };

    TVaComm port;
    port.SetDeviceName(device);
    port.SetFlowControl(fcNone);
    port.SetMonitorEvents({ceRxChar});
    try {
        port.Open();
    } catch (const EVaCommError& e) {
        ::close(probe);
        GTEST_SKIP() << device << " cannot be opened as a port here: " << e.what();
    }
    EXPECT_TRUE(lowLatency());
    port.Close();
    EXPECT_FALSE(lowLatency());
    ::close(probe);
}

// A UART of the serial core is found in sysfs through the core's own port
// devices, up to the bus device's driver, and keeps VMIN following the reader.
TEST(CommOnUart, ItsDriverIsReadFromSysfsAndTakesVminForFree)
{
    const auto device = VaCreateSystemDevice();
    const TVaOpenResult opened = device->Open("/dev/ttyS0");
    if (opened.Error != 0)
        GTEST_SKIP() << "/dev/ttyS0 cannot be opened here: " << std::strerror(opened.Error);
    EXPECT_FALSE(device->Driver().empty());
    EXPECT_NE(device->Driver(), "port") << "a serial-base device was taken for the driver";
    EXPECT_EQ(device->WakeStrategy(), TVaWakeStrategy::WakeCount) << device->Driver();
    device->Close();
}

TEST(CommLifetime, DestroyingAnOpenPortWithADispatchOnItsWayIsSafe)
{
    ScratchDir dir;
    PtyPair pty(dir / "ttyQR");
    int calls = 0;
    for (int round = 0; round < 20; ++round) {
        auto port = std::make_unique<TVaComm>();
        port->SetDeviceName(pty.Link().string());
        port->SetFlowControl(fcNone);
        port->SetMonitorEvents({ceRxChar});
        port->OnRxChar = [&](TVaCustomComm*, std::int32_t) { ++calls; };
        port->Open();
        pty.Write({std::uint8_t(round)});
        // Bytes are queued: the thread is about to hand them over, or is
        // blocked handing them over, when the port goes.
        const auto end = std::chrono::steady_clock::now() + 5s;
        while (port->ReadBufUsed() == 0 && std::chrono::steady_clock::now() < end) {
        }
        port.reset();
        RunEventsFor(2ms);
    }
    EXPECT_TRUE(WaitUntil([] { return EventThreads().empty(); }));
    EXPECT_EQ(calls, 0);
}

} // namespace
