// The pure translations: properties to line-settings record, record to what a
// terminal-style interface can express, events and error flags, device names.

#include "device.h"
#include "vadcb.h"

#include <gtest/gtest.h>

#include <termios.h>

#include <cerrno>
#include <string>

#include "device.h"

namespace {

TVaLineProperties ProgPortProperties()
{
    TVaLineProperties p;
    p.Baudrate = br9600;
    p.FlowControl = fcNone;
    p.DTRControl = dtrDisable;
    p.RTSControl = rtsDisable;
    return p;
}

TEST(BuildDcb, ProgPortGetsExactlyBinaryAndAbortOnError)
{
    TVaDcb read;
    // Flags left by a previous owner must not survive.
    read.fOutX = read.fInX = read.fOutxCtsFlow = read.fNull = read.fParity = true;
    read.fRtsControl = kRtsControlToggle;
    read.fDtrControl = kDtrControlHandshake;
    read.EofChar = 0x1A;

    const TVaDcb dcb = BuildDcb(read, ProgPortProperties());

    TVaDcb expected;
    expected.BaudRate = 9600;
    expected.ByteSize = 8;
    expected.Parity = kNoParity;
    expected.StopBits = kOneStopBit;
    expected.XonChar = 17;
    expected.XoffChar = 19;
    expected.XonLim = 1024;
    expected.XoffLim = 1024;
    expected.EofChar = 0x1A; // kept as read
    expected.fBinary = true;
    expected.fAbortOnError = true;
    EXPECT_EQ(dcb, expected);
}

TEST(BuildDcb, FramingAndRatesFollowTheProperties)
{
    const std::uint32_t rates[] = {110, 300, 600, 1200, 2400, 4800, 9600, 14400,
                                   19200, 38400, 56000, 57600, 115200, 128000, 256000};
    for (int i = br110; i <= br256000; ++i) {
        TVaLineProperties p = ProgPortProperties();
        p.Baudrate = TVaBaudrate(i);
        EXPECT_EQ(BuildDcb({}, p).BaudRate, rates[i]) << i;
    }
    struct Case {
        TVaDatabits bits;
        TVaParity parity;
        TVaStopbits stop;
        std::uint8_t byteSize, parityCode, stopCode;
    };
    const Case cases[] = {
        {db4, paNone, sb1, 4, kNoParity, kOneStopBit},
        {db5, paOdd, sb15, 5, kOddParity, kOne5StopBits},
        {db6, paEven, sb2, 6, kEvenParity, kTwoStopBits},
        {db7, paMark, sb1, 7, kMarkParity, kOneStopBit},
        {db8, paSpace, sb2, 8, kSpaceParity, kTwoStopBits},
    };
    for (const Case& c : cases) {
        TVaLineProperties p = ProgPortProperties();
        p.Databits = c.bits;
        p.Parity = c.parity;
        p.Stopbits = c.stop;
        const TVaDcb dcb = BuildDcb({}, p);
        EXPECT_EQ(dcb.ByteSize, c.byteSize);
        EXPECT_EQ(dcb.Parity, c.parityCode);
        EXPECT_EQ(dcb.StopBits, c.stopCode);
    }
}

TEST(BuildDcb, FlowControlDecidesWhichLineTheControlPropertiesDrive)
{
    struct Case {
        TVaFlowControl flow;
        TVaDTRControl dtr;
        TVaRTSControl rts;
        bool outX, inX, cts, dsr;
        std::uint8_t dtrCode, rtsCode;
    };
    const Case cases[] = {
        {fcNone, dtrEnable, rtsEnable, false, false, false, false, kDtrControlEnable, kRtsControlEnable},
        {fcXonXoff, dtrDisable, rtsToggle, true, true, false, false, kDtrControlDisable, kRtsControlToggle},
        // RTS/CTS ignores RTSControl ...
        {fcRtsCts, dtrEnable, rtsDisable, false, false, true, false, kDtrControlEnable, kRtsControlHandshake},
        // ... and with DTR handshake both output lines handshake.
        {fcRtsCts, dtrHandshake, rtsEnable, false, false, true, false, kDtrControlHandshake, kRtsControlHandshake},
        // DTR/DSR ignores DTRControl.
        {fcDtrDsr, dtrDisable, rtsEnable, false, false, false, true, kDtrControlHandshake, kRtsControlEnable},
    };
    for (const Case& c : cases) {
        TVaLineProperties p = ProgPortProperties();
        p.FlowControl = c.flow;
        p.DTRControl = c.dtr;
        p.RTSControl = c.rts;
        const TVaDcb dcb = BuildDcb({}, p);
        SCOPED_TRACE(int(c.flow));
        EXPECT_EQ(dcb.fOutX, c.outX);
        EXPECT_EQ(dcb.fInX, c.inX);
        EXPECT_EQ(dcb.fOutxCtsFlow, c.cts);
        EXPECT_EQ(dcb.fOutxDsrFlow, c.dsr);
        EXPECT_EQ(dcb.fDtrControl, c.dtrCode);
        EXPECT_EQ(dcb.fRtsControl, c.rtsCode);
    }
}

TEST(BuildDcb, OptionsCharactersAndLimits)
{
    TVaLineProperties p = ProgPortProperties();
    p.Options = {coContinueOnXOff, coErrorChar, coNullStrip, coParityCheck, coDsrSensitivity};
    p.XonLim = 70000;
    p.XoffLim = -1;
    p.XonChar = 'Q';
    p.XoffChar = 'S';
    p.ErrorChar = '?';
    p.EventChar = '\n';
    TVaDcb dcb = BuildDcb({}, p);
    EXPECT_TRUE(dcb.fTXContinueOnXoff && dcb.fErrorChar && dcb.fNull && dcb.fParity &&
                dcb.fDsrSensitivity);
    EXPECT_EQ(dcb.XonLim, 4464); // the low 16 bits of 70000
    EXPECT_EQ(dcb.XoffLim, 0xFFFF);
    EXPECT_EQ(dcb.XonChar, 'Q');
    EXPECT_EQ(dcb.XoffChar, 'S');
    EXPECT_EQ(dcb.ErrorChar, '?');
    EXPECT_EQ(dcb.EvtChar, '\n');

    p.Options = {coParityCheck};
    dcb = BuildDcb(dcb, p);
    EXPECT_TRUE(dcb.fParity);
    EXPECT_FALSE(dcb.fTXContinueOnXoff || dcb.fErrorChar || dcb.fNull || dcb.fDsrSensitivity);
}

TEST(DcbToLineSettings, TranslatesWhatALinuxTerminalCanDo)
{
    TVaLineProperties p = ProgPortProperties();
    p.Parity = paMark;
    p.Stopbits = sb2;
    p.Databits = db7;
    p.FlowControl = fcXonXoff;
    p.DTRControl = dtrEnable;
    p.Options = {coParityCheck, coContinueOnXOff};
    p.XonChar = 0x11;
    p.XoffChar = 0x13;
    p.Baudrate = br256000;
    TVaLineSettings line;
    ASSERT_TRUE(DcbToLineSettings(BuildDcb({}, p), line));
    TVaLineSettings expected;
    expected.BaudRate = 256000;
    expected.DataBits = 7;
    expected.Parity = TVaLineParity::Mark;
    expected.TwoStopBits = true;
    expected.XonXoffOut = expected.XonXoffIn = true;
    expected.ParityCheck = true;
    expected.XonChar = 0x11;
    expected.XoffChar = 0x13;
    expected.Dtr = TVaLineLevel::On;
    expected.Rts = TVaLineLevel::Off;
    EXPECT_EQ(line, expected);

    p = ProgPortProperties();
    p.FlowControl = fcRtsCts;
    ASSERT_TRUE(DcbToLineSettings(BuildDcb({}, p), line));
    EXPECT_EQ(line.Rts, TVaLineLevel::Handshake);
    EXPECT_EQ(line.Dtr, TVaLineLevel::Off);
}

TEST(DcbToLineSettings, RefusesWhatItCannotExpress)
{
    struct Case {
        const char* what;
        void (*change)(TVaLineProperties&);
    };
    const Case cases[] = {
        {"4 data bits", [](TVaLineProperties& p) { p.Databits = db4; }},
        {"1.5 stop bits", [](TVaLineProperties& p) { p.Stopbits = sb15; }},
        {"DTR/DSR flow", [](TVaLineProperties& p) { p.FlowControl = fcDtrDsr; }},
        {"DTR handshake", [](TVaLineProperties& p) { p.DTRControl = dtrHandshake; }},
        {"RTS toggle", [](TVaLineProperties& p) { p.RTSControl = rtsToggle; }},
        {"RTS handshake without CTS", [](TVaLineProperties& p) { p.RTSControl = rtsHandshake; }},
        {"error character", [](TVaLineProperties& p) { p.Options = {coErrorChar}; }},
        {"null stripping", [](TVaLineProperties& p) { p.Options = {coNullStrip}; }},
        {"DSR sensitivity", [](TVaLineProperties& p) { p.Options = {coDsrSensitivity}; }},
    };
    for (const Case& c : cases) {
        TVaLineProperties p = ProgPortProperties();
        c.change(p);
        TVaLineSettings line;
        line.BaudRate = 1; // must stay untouched on refusal
        EXPECT_FALSE(DcbToLineSettings(BuildDcb({}, p), line)) << c.what;
        EXPECT_EQ(line.BaudRate, 1u) << c.what;
    }
    TVaDcb zeroRate = BuildDcb({}, ProgPortProperties());
    zeroRate.BaudRate = 0;
    TVaLineSettings line;
    EXPECT_FALSE(DcbToLineSettings(zeroRate, line));
}

TEST(TerminalFlags, RawWithTheFramingAndFlowControlAsked)
{
    const struct {
        const char* what;
        TVaLineSettings line;
        tcflag_t cflag, iflag;
    } cases[] = {
        {"8N1", {9600, 8, TVaLineParity::None}, CS8, 0},
        {"5O1", {9600, 5, TVaLineParity::Odd}, CS5 | PARENB | PARODD, 0},
        {"6E2", {9600, 6, TVaLineParity::Even, true}, CS6 | PARENB | CSTOPB, 0},
        {"7M1", {9600, 7, TVaLineParity::Mark}, CS7 | PARENB | CMSPAR | PARODD, 0},
        {"8S1", {9600, 8, TVaLineParity::Space}, CS8 | PARENB | CMSPAR, 0},
        {"XON/XOFF out, check parity", {9600, 8, TVaLineParity::None, false, true, false, true},
         CS8, IXON | INPCK},
        {"XON/XOFF in", {9600, 8, TVaLineParity::None, false, false, true}, CS8, IXOFF},
    };
    for (const auto& c : cases) {
        const TVaTerminalFlags flags = VaTerminalFlagsOf(c.line);
        EXPECT_EQ(flags.Cflag, c.cflag | CLOCAL | CREAD) << c.what;
        EXPECT_EQ(flags.Iflag, c.iflag) << c.what;
        EXPECT_EQ(flags.Oflag, 0u) << c.what;
        EXPECT_EQ(flags.Lflag, 0u) << c.what;
    }
    TVaLineSettings rtsCts;
    rtsCts.Rts = TVaLineLevel::Handshake;
    EXPECT_EQ(VaTerminalFlagsOf(rtsCts).Cflag, CS8 | CLOCAL | CREAD | CRTSCTS);
}

TEST(EventBits, MonitorEventsMapOneToOne)
{
    EXPECT_EQ(EventMaskOf({}), 0u);
    EXPECT_EQ(EventMaskOf({ceRxChar}), kEvRxChar);
    EXPECT_EQ(EventMaskOf({ceBreak, ceCts, ceDsr, ceError, ceRing, ceRlsd, ceRxChar, ceTxEmpty,
                           ceRxFlag}),
              kEvBreak | kEvCts | kEvDsr | kEvErr | kEvRing | kEvRlsd | kEvRxChar | kEvTxEmpty |
                  kEvRxFlag);
}

TEST(EventBits, CounterChangesBecomeEventsAndErrorFlags)
{
    const TVaLineCounters before{1, 2, 3, 4, 5, 6, 7, 8, 9};
    EXPECT_EQ(LineEventsBetween(before, before), 0u);
    EXPECT_EQ(LineErrorsBetween(before, before), 0);

    TVaLineCounters after = before;
    after.Frame += 1;
    after.Break += 2;
    after.Cts += 1;
    after.Dcd += 1;
    EXPECT_EQ(LineEventsBetween(before, after), kEvErr | kEvBreak | kEvCts | kEvRlsd);
    EXPECT_EQ(LineErrorsBetween(before, after), kCeFrame | kCeBreak);

    after = before;
    after.Overrun += 1;
    after.Parity += 1;
    after.BufOverrun += 1;
    after.Dsr += 1;
    after.Ring += 1;
    EXPECT_EQ(LineEventsBetween(before, after), kEvErr | kEvDsr | kEvRing);
    EXPECT_EQ(LineErrorsBetween(before, after), kCeOverrun | kCeRxParity | kCeRxOver);
}

TEST(DeviceName, PortNumberFillsThePatternAndNothingElseIsInterpreted)
{
    const struct {
        const char* pattern;
        int port;
        const char* name;
    } cases[] = {
        {"COM%d", 3, "COM3"},
        {"/dev/ttyS%d", 0, "/dev/ttyS0"},
        {"/dev/ttyUSB0", 7, "/dev/ttyUSB0"},
        {"/tmp/100%%/p%d-%d", 2, "/tmp/100%/p2-2"},
        // Conversions other than %d are text: a stray %s or %n must not make
        // the name read or write anything.
        {"%s%n%x%", 5, "%s%n%x%"},
        {"COM%d", -1, "COM-1"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FormatDeviceName(c.pattern, c.port), c.name) << c.pattern;
}

TEST(ErrorText, SystemDescriptionsLoseTrailingStopsAndBlanks)
{
    EXPECT_EQ(TrimErrorText("The handle is invalid.  \r\n"), "The handle is invalid");
    EXPECT_EQ(TrimErrorText("Done..."), "Done");
    EXPECT_EQ(TrimErrorText(""), "");
    EXPECT_EQ(VaSystemErrorText(EBADF), "Bad file descriptor");
    EXPECT_EQ(VaSystemErrorText(EINVAL), "Invalid argument");
}

// The wake strategy follows what the driver's set_termios does with a change
// of c_cc alone (the table in docs/serial.md); a port of the serial core is cheap
// whatever its driver is called, and a driver nobody has read is not.
TEST(WakeStrategy, FollowsWhatTheDriverDoesWithASettingsWrite)
{
    const struct {
        const char* driver;
        bool serialCore;
        TVaWakeStrategy strategy;
    } cases[] = {
        {"ftdi_sio", false, TVaWakeStrategy::Rest},
        {"pl2303", false, TVaWakeStrategy::WakeCount},
        {"ch341-uart", false, TVaWakeStrategy::WakeCount},
        {"cp210x", false, TVaWakeStrategy::WakeCount},
        {"cdc_acm", false, TVaWakeStrategy::WakeCount},
        {"serial8250", false, TVaWakeStrategy::WakeCount},
        {"serial", false, TVaWakeStrategy::WakeCount},
        {"pty", false, TVaWakeStrategy::WakeCount},
        {"dw-apb-uart", true, TVaWakeStrategy::WakeCount},
        {"dw-apb-uart", false, TVaWakeStrategy::Rest},
        {"", false, TVaWakeStrategy::Rest},
    };
    for (const auto& c : cases)
        EXPECT_EQ(VaWakeStrategyOf(c.driver, c.serialCore), c.strategy) << c.driver << " " << c.serialCore;
}

} // namespace
