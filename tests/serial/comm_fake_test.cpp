// The component's logic over a fake device: failures of single steps, setters
// and the device calls they make, line events and error flags.

#include "fake_device.h"
#include "message_of.h"
#include "vacomm.h"
#include "vadcb.h"
#include "vaeventchars.h"

#include "wait.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace {

class FakeComm : public TVaComm {
public:
    std::shared_ptr<FakeDevice> device = std::make_shared<FakeDevice>();
    using TVaCustomComm::BeginLoading;
    using TVaCustomComm::DoCommEvent;
    using TVaCustomComm::Loaded;

protected:
    void OpenDevice() override { AttachDevice(device); }
};

class CommOnFake : public ::testing::Test {
protected:
    CommOnFake()
    {
        SetVaExceptionReport([this](std::exception_ptr error) {
            try {
                std::rethrow_exception(error);
            } catch (const std::exception& e) {
                reports.push_back(e.what());
            }
        });
    }
    ~CommOnFake() override { SetVaExceptionReport(nullptr); }

    FakeComm port;
    std::vector<std::string> reports;
};

TEST_F(CommOnFake, AFailingOpenStepNamesItselfAndLeavesThePortClosed)
{
    const struct {
        const char* operation;
        int error;
        const char* text;
    } cases[] = {
        {"ReadSettings", EIO, "Error reading dcb (5), Input/output error"},
        {"WriteSettings", EINVAL, "Error writing dcb (22), Invalid argument"},
        {"SetTimeouts", EIO, "Error setting timeouts (5), Input/output error"},
        {"SetQueueSizes", ENOMEM, "Error initializing buffers (12), Cannot allocate memory"},
        {"SetEventMask", EIO, " Error setting EventMask (5), Input/output error"},
    };
    for (const auto& c : cases) {
        FakeComm failing;
        failing.device->Fail(c.operation, c.error);
        EXPECT_EQ(MessageOf([&] { failing.Open(); }), c.text);
        EXPECT_FALSE(failing.IsOpen()) << c.operation;
        EXPECT_EQ(failing.device->Calls("Close"), 1) << c.operation;
        EXPECT_EQ(failing.device->Calls("WaitReadable"), 0) << c.operation; // no thread
        // Nothing was changed by the failure: the next try opens.
        failing.device->Fail(c.operation, 0);
        failing.Open();
        EXPECT_TRUE(failing.IsOpen()) << c.operation;
    }
}

TEST_F(CommOnFake, OnOpenThatRaisesLeavesNoThreadBehind)
{
    int opened = 0;
    port.OnOpen = [&](TVaCustomComm* sender) {
        EXPECT_EQ(sender, &port);
        ++opened;
        throw EVaCommError("refused by the owner");
    };
    EXPECT_EQ(MessageOf([&] { port.Open(); }), "refused by the owner");
    EXPECT_EQ(opened, 1);
    EXPECT_FALSE(port.IsOpen());
    // The thread was running and has been stopped: it no longer waits on the
    // device.
    const int waits = port.device->Calls("WaitReadable");
    RunEventsFor(std::chrono::milliseconds(50));
    EXPECT_EQ(port.device->Calls("WaitReadable"), waits);
}

TEST_F(CommOnFake, AFailedPurgeKeepsThePortOpenUntilTheNextClose)
{
    int closed = 0;
    port.OnClose = [&](TVaCustomComm*) { ++closed; };
    port.Open();
    port.device->Fail("Purge", EIO);
    EXPECT_EQ(MessageOf([&] { port.Close(); }), "Error clearing buffers (5), Input/output error");
    EXPECT_TRUE(port.IsOpen());
    EXPECT_EQ(closed, 0);

    port.device->Fail("Purge", 0);
    port.Close();
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(closed, 1);
    port.Close(); // closed: nothing, no second OnClose
    EXPECT_EQ(closed, 1);
}

TEST_F(CommOnFake, DestroyingAnOpenPortClosesWithoutOnCloseEvenIfPurgeFails)
{
    auto device = std::make_shared<FakeDevice>();
    int closed = 0;
    {
        FakeComm doomed;
        doomed.device = device;
        doomed.OnClose = [&](TVaCustomComm*) { ++closed; };
        doomed.Open();
        device->Fail("Purge", EIO);
    }
    EXPECT_EQ(device->Calls("Close"), 1);
    EXPECT_EQ(closed, 0);
}

TEST_F(CommOnFake, RefusedPropertiesRaiseWhileOpenUnlessUnchanged)
{
    const struct {
        const char* name;
        std::function<void(TVaCustomComm&)> setSame, setNew;
        std::function<bool(TVaCustomComm&)> isNew;
    } cases[] = {
        {"PortNum", [](auto& c) { c.SetPortNum(0); }, [](auto& c) { c.SetPortNum(2); },
         [](auto& c) { return c.PortNum() == 2; }},
        {"MonitorEvents", [](auto& c) { c.SetMonitorEvents({}); },
         [](auto& c) { c.SetMonitorEvents({ceRxChar}); },
         [](auto& c) { return c.MonitorEvents() == TVaCommEvents{ceRxChar}; }},
        {"ReadBufSize", [](auto& c) { c.SetReadBufSize(4096); },
         [](auto& c) { c.SetReadBufSize(100); }, [](auto& c) { return c.ReadBufSize() == 100; }},
        {"WriteBufSize", [](auto& c) { c.SetWriteBufSize(2048); },
         [](auto& c) { c.SetWriteBufSize(100); }, [](auto& c) { return c.WriteBufSize() == 100; }},
        {"Priority", [](auto& c) { c.SetPriority(tpNormal); },
         [](auto& c) { c.SetPriority(tpHigher); }, [](auto& c) { return c.Priority() == tpHigher; }},
    };
    for (const auto& c : cases) {
        FakeComm comm;
        comm.Open();
        const int writes = comm.device->Calls("WriteSettings");
        EXPECT_NO_THROW(c.setSame(comm)) << c.name;
        EXPECT_EQ(MessageOf([&] { c.setNew(comm); }),
                  "Can't perform this operation when port is open")
            << c.name;
        EXPECT_FALSE(c.isNew(comm)) << c.name;
        EXPECT_EQ(comm.device->Calls("WriteSettings"), writes) << c.name;
        comm.Close();
        c.setNew(comm);
        EXPECT_TRUE(c.isNew(comm)) << c.name;
    }
}

TEST_F(CommOnFake, LineSettersReapplyOnceWhenChangedAndOnlyWhileOpen)
{
    const struct {
        const char* name;
        std::function<void(TVaCustomComm&)> setSame, setNew;
        std::function<bool(const TVaDcb&)> applied;
    } cases[] = {
        {"Baudrate", [](auto& c) { c.SetBaudrate(br1200); }, [](auto& c) { c.SetBaudrate(br19200); },
         [](const TVaDcb& d) { return d.BaudRate == 19200; }},
        {"Parity", [](auto& c) { c.SetParity(paNone); }, [](auto& c) { c.SetParity(paEven); },
         [](const TVaDcb& d) { return d.Parity == kEvenParity; }},
        {"Databits", [](auto& c) { c.SetDatabits(db8); }, [](auto& c) { c.SetDatabits(db7); },
         [](const TVaDcb& d) { return d.ByteSize == 7; }},
        {"Stopbits", [](auto& c) { c.SetStopbits(sb1); }, [](auto& c) { c.SetStopbits(sb2); },
         [](const TVaDcb& d) { return d.StopBits == kTwoStopBits; }},
        {"FlowControl", [](auto& c) { c.SetFlowControl(fcRtsCts); },
         [](auto& c) { c.SetFlowControl(fcXonXoff); },
         [](const TVaDcb& d) { return d.fOutX && d.fInX && !d.fOutxCtsFlow; }},
        {"Options", [](auto& c) { c.SetOptions({}); }, [](auto& c) { c.SetOptions({coParityCheck}); },
         [](const TVaDcb& d) { return d.fParity; }},
        {"XonLim", [](auto& c) { c.SetXonLim(1024); }, [](auto& c) { c.SetXonLim(70000); },
         [](const TVaDcb& d) { return d.XonLim == 4464; }},
        {"XoffLim", [](auto& c) { c.SetXoffLim(1024); }, [](auto& c) { c.SetXoffLim(10); },
         [](const TVaDcb& d) { return d.XoffLim == 10; }},
        {"DTRControl", [](auto& c) { c.SetDTRControl(dtrEnable); },
         [](auto& c) { c.SetDTRControl(dtrDisable); },
         [](const TVaDcb& d) { return d.fDtrControl == kDtrControlDisable; }},
        {"RTSControl (under RTS/CTS: stored, no effect)", [](auto& c) { c.SetRTSControl(rtsEnable); },
         [](auto& c) { c.SetRTSControl(rtsDisable); },
         [](const TVaDcb& d) { return d.fRtsControl == kRtsControlHandshake; }},
        {"XonChar", [](auto&) {}, [](auto& c) { c.EventChars().SetXonChar('Q'); },
         [](const TVaDcb& d) { return d.XonChar == 'Q'; }},
    };
    for (const auto& c : cases) {
        FakeComm comm;
        c.setNew(comm); // closed: stored, no device to call
        EXPECT_EQ(comm.device->Calls("ReadSettings"), 0) << c.name;
        comm.Open();
        EXPECT_TRUE(c.applied(comm.device->Settings())) << c.name;
        comm.Close();

        FakeComm open;
        open.Open();
        const int writes = open.device->Calls("WriteSettings");
        c.setSame(open);
        EXPECT_EQ(open.device->Calls("WriteSettings"), writes) << c.name;
        c.setNew(open);
        EXPECT_EQ(open.device->Calls("WriteSettings"), writes + 1) << c.name;
        EXPECT_TRUE(c.applied(open.device->Settings())) << c.name;
    }
}

TEST_F(CommOnFake, AssigningEventCharsReappliesOnce)
{
    port.Open();
    const int writes = port.device->Calls("WriteSettings");
    TVaEventChars chars;
    chars.SetXonChar('a');
    chars.SetXoffChar('b');
    chars.SetErrorChar('c');
    chars.SetEventChar('d');
    port.SetEventChars(chars);
    EXPECT_EQ(port.device->Calls("WriteSettings"), writes + 1);
    const TVaDcb dcb = port.device->Settings();
    EXPECT_EQ(std::string({char(dcb.XonChar), char(dcb.XoffChar), char(dcb.ErrorChar),
                           char(dcb.EvtChar)}),
              "abcd");
    port.SetEventChars(chars); // unchanged
    EXPECT_EQ(port.device->Calls("WriteSettings"), writes + 1);
}

TEST_F(CommOnFake, ARefusedSettingStaysStoredAndNamesTheWrite)
{
    port.Open();
    port.device->Fail("WriteSettings", EINVAL);
    EXPECT_EQ(MessageOf([&] { port.SetBaudrate(br256000); }),
              "Error writing dcb (22), Invalid argument");
    EXPECT_EQ(port.Baudrate(), br256000);
    EXPECT_EQ(port.device->Settings().BaudRate, 1200u);
}

TEST_F(CommOnFake, LineEventsReachTheirHandlers)
{
    std::vector<std::string> seen;
    std::int32_t errors = 0;
    auto note = [&](const char* name) { return [&seen, name](TVaCustomComm*) { seen.push_back(name); }; };
    port.OnError = [&](TVaCustomComm*, std::int32_t e) {
        errors = e;
        seen.push_back("Error");
    };
    port.OnCts = note("Cts");
    port.OnDsr = note("Dsr");
    port.OnRing = note("Ring");
    port.OnRlsd = note("Rlsd");
    port.OnTxEmpty = note("TxEmpty");
    port.OnBreak = note("Break");
    port.SetMonitorEvents({ceBreak, ceCts, ceDsr, ceError, ceRing, ceRlsd, ceTxEmpty});
    port.device->SetOutQueue(5);
    port.Open();
    ASSERT_TRUE(WaitUntil([&] { return port.device->Calls("WaitReadable") > 0; }));
    // One change of everything; the thread sees it in one look.
    port.device->ChangeCounters([](TVaLineCounters& c) {
        c.Frame++;
        c.Overrun++;
        c.Break++;
        c.Cts++;
        c.Dsr++;
        c.Ring++;
        c.Dcd++;
    });
    port.device->SetOutQueue(0);
    ASSERT_TRUE(WaitUntil([&] { return seen.size() >= 7; }));
    RunEventsFor(std::chrono::milliseconds(30));
    // The queue and the totals change in two steps, so the thread may tell of
    // them in two dispatches; the order within one is the next test's.
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (std::vector<std::string>{"Break", "Cts", "Dsr", "Error", "Ring", "Rlsd",
                                              "TxEmpty"}));
    EXPECT_EQ(errors, kCeFrame | kCeOverrun | kCeBreak);
}

TEST_F(CommOnFake, DispatchRaisesLineEventsInTheListedOrder)
{
    std::vector<std::string> seen;
    auto note = [&](const char* name) { return [&seen, name](TVaCustomComm*) { seen.push_back(name); }; };
    port.OnError = [&](TVaCustomComm*, std::int32_t) { seen.push_back("Error"); };
    port.OnRxFlag = note("RxFlag");
    port.OnRx80Full = note("Rx80Full");
    port.OnCts = note("Cts");
    port.OnDsr = note("Dsr");
    port.OnRing = note("Ring");
    port.OnRlsd = note("Rlsd");
    port.OnTxEmpty = note("TxEmpty");
    port.OnBreak = note("Break");
    port.OnEvent1 = note("Event1");
    port.OnEvent2 = note("Event2");
    port.DoCommEvent(0xFFFFFFFFu & ~kEvRxChar);
    EXPECT_EQ(seen, (std::vector<std::string>{"Error", "RxFlag", "Rx80Full", "Cts", "Dsr", "Ring",
                                              "Rlsd", "TxEmpty", "Break", "Event1", "Event2"}));
    seen.clear();
    port.DoCommEvent(kEvBreak | kEvCts);
    EXPECT_EQ(seen, (std::vector<std::string>{"Cts", "Break"}));
}

TEST_F(CommOnFake, WatchingReceivedBytesAloneRaisesNothingElse)
{
    std::vector<std::string> seen;
    port.OnError = [&](TVaCustomComm*, std::int32_t) { seen.push_back("Error"); };
    port.OnCts = [&](TVaCustomComm*) { seen.push_back("Cts"); };
    port.OnBreak = [&](TVaCustomComm*) { seen.push_back("Break"); };
    port.OnTxEmpty = [&](TVaCustomComm*) { seen.push_back("TxEmpty"); };
    port.OnRxChar = [&](TVaCustomComm* c, std::int32_t count) {
        std::uint8_t ch = 0;
        for (std::int32_t i = 0; i < count; ++i)
            c->ReadChar(ch);
        seen.push_back("RxChar");
    };
    port.SetMonitorEvents({ceRxChar});
    port.device->SetOutQueue(3);
    port.Open();
    port.device->ChangeCounters([](TVaLineCounters& c) {
        c.Frame++;
        c.Break++;
        c.Cts++;
    });
    port.device->SetOutQueue(0);
    port.device->Receive({1, 2, 3});
    ASSERT_TRUE(WaitUntil([&] { return !seen.empty(); }));
    RunEventsFor(std::chrono::milliseconds(50));
    EXPECT_EQ(seen, std::vector<std::string>{"RxChar"});
}

TEST_F(CommOnFake, ReadingClearsTheLineErrorFlagsBeforeItReads)
{
    std::int32_t errors = -1;
    port.OnError = [&](TVaCustomComm*, std::int32_t e) { errors = e; };
    port.Open(); // no monitored events: only the calls below look at the line
    port.device->ChangeCounters([](TVaLineCounters& c) { c.Frame++; });
    port.DoCommEvent(kEvErr);
    EXPECT_EQ(errors, kCeFrame);

    port.device->ChangeCounters([](TVaLineCounters& c) { c.Overrun++; });
    port.device->Receive({'z'});
    std::uint8_t ch = 0;
    ASSERT_TRUE(port.ReadChar(ch));
    EXPECT_EQ(ch, 'z');
    port.DoCommEvent(kEvErr);
    EXPECT_EQ(errors, 0); // the read took the overrun away
}

TEST_F(CommOnFake, ADeviceThatStopsAnsweringIsReportedOnce)
{
    int calls = 0;
    port.OnRxChar = [&](TVaCustomComm*, std::int32_t) { ++calls; };
    port.SetMonitorEvents({ceRxChar});
    port.Open();
    port.device->Fail("QueueCounts", EIO);
    ASSERT_TRUE(WaitUntil([&] { return !reports.empty(); }));
    RunEventsFor(std::chrono::milliseconds(300));
    EXPECT_EQ(reports, std::vector<std::string>{"Error retrieving statistics (5), Input/output error"});
    EXPECT_EQ(calls, 0);
    // The thread rests between looks instead of asking the dead device in a
    // tight loop.
    EXPECT_LT(port.device->Calls("QueueCounts"), 40);
    EXPECT_EQ(MessageOf([&] { port.ReadBufUsed(); }),
              "Error retrieving statistics (5), Input/output error");
    port.device->Fail("QueueCounts", 0);
    port.Close();
}

// A USB adapter's transmit queue as poll sees it: the device takes bytes as its
// queue drains, but calls itself writable only once the queue has nearly
// emptied (here never), so nothing but the stall timer moves what is queued.
class DrainingDevice : public FakeDevice {
public:
    DrainingDevice(std::int32_t capacity, std::int32_t drainedPerMs) : room_(capacity), capacity_(capacity), drainedPerMs_(drainedPerMs)
    {
        EXPECT_EQ(::pipe2(pipe_, O_CLOEXEC), 0);
    }
    ~DrainingDevice() override
    {
        ::close(pipe_[0]);
        ::close(pipe_[1]);
    }
    // The read end of a pipe never becomes writable.
    TVaHandle WriteHandle() const override { return pipe_[0]; }
    int Write(const void*, std::int32_t count, std::chrono::milliseconds, std::int32_t& written) override
    {
        const auto now = std::chrono::steady_clock::now();
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now - drainedUntil_).count();
        room_ = std::min<std::int64_t>(capacity_, room_ + ms * drainedPerMs_);
        drainedUntil_ = now;
        written = std::int32_t(std::min<std::int64_t>(count, room_));
        room_ -= written;
        taken += written;
        return 0;
    }
    std::int64_t taken = 0;

private:
    int pipe_[2] = {-1, -1};
    std::int64_t room_;
    const std::int64_t capacity_;
    const std::int64_t drainedPerMs_;
    std::chrono::steady_clock::time_point drainedUntil_ = std::chrono::steady_clock::now();
};

// The write time-out counts only time in which the device took nothing: a
// device that keeps taking bytes, without the notifier saying so, gets the whole
// send; one that takes nothing ends it once, after the time-out.
TEST_F(CommOnFake, TheWriteTimeoutCountsOnlyTimeTheDeviceTookNothing)
{
    const struct {
        const char* name;
        std::int32_t drainedPerMs;
        bool stalls;
    } cases[] = {
        {"draining", 4, false},
        {"stalled", 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        reports.clear();
        FakeComm sender;
        auto device = std::make_shared<DrainingDevice>(1024, c.drainedPerMs);
        sender.device = device;
        sender.SetWriteTimeout(200);
        sender.Open();
        const std::vector<std::uint8_t> loader(4096, 0x4C);
        sender.Send(loader.data(), std::int32_t(loader.size()));
        ASSERT_EQ(sender.SendPending(), 4096 - 1024);
        ASSERT_TRUE(WaitUntil([&] { return sender.SendPending() == 0; }, std::chrono::seconds(10)));
        RunEventsFor(std::chrono::milliseconds(300));
        if (c.stalls) {
            EXPECT_EQ(reports, std::vector<std::string>{"Write error (110), Connection timed out"});
            EXPECT_EQ(device->taken, 1024);
        } else {
            EXPECT_TRUE(reports.empty());
            EXPECT_EQ(device->taken, 4096);
        }
        sender.Close();
    }
}

TEST_F(CommOnFake, LoadingOnlyStoresAndAutoOpenOpensAtItsEnd)
{
    port.BeginLoading();
    port.SetBaudrate(br9600);
    port.SetFlowControl(fcNone);
    port.SetAutoOpen(true);
    EXPECT_EQ(port.device->Calls("ReadSettings"), 0);
    EXPECT_FALSE(port.IsOpen());
    port.Loaded();
    ASSERT_TRUE(port.IsOpen());
    EXPECT_EQ(port.device->Settings().BaudRate, 9600u);

    FakeComm manual;
    manual.BeginLoading();
    manual.Loaded();
    EXPECT_FALSE(manual.IsOpen());
}

} // namespace
