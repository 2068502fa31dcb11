// The component on real pseudo-terminals: the test plays the far end of the line
// on the master side, the component opens the slave through a symlink.

#include "vacomm.h"

#include "pty_pair.h"
#include "scratch_dir.h"
#include "wait.h"

#include <QCoreApplication>
#include <QThread>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

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

} // namespace
