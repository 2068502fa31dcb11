#pragma once

// The platform-neutral records of the port: the line-settings record ("DCB") that
// ApplySettings builds from the properties, the event and error bits that the
// event thread and OnError speak in, and the pure functions between them. Nothing
// here touches a device.

#include "vacomm.h"

#include <cstdint>
#include <string>

// Parity, stop-bit and handshake codes of the line-settings record.
inline constexpr std::uint8_t kNoParity = 0;
inline constexpr std::uint8_t kOddParity = 1;
inline constexpr std::uint8_t kEvenParity = 2;
inline constexpr std::uint8_t kMarkParity = 3;
inline constexpr std::uint8_t kSpaceParity = 4;

inline constexpr std::uint8_t kOneStopBit = 0;
inline constexpr std::uint8_t kOne5StopBits = 1;
inline constexpr std::uint8_t kTwoStopBits = 2;

inline constexpr std::uint8_t kDtrControlDisable = 0;
inline constexpr std::uint8_t kDtrControlEnable = 1;
inline constexpr std::uint8_t kDtrControlHandshake = 2;

inline constexpr std::uint8_t kRtsControlDisable = 0;
inline constexpr std::uint8_t kRtsControlEnable = 1;
inline constexpr std::uint8_t kRtsControlHandshake = 2;
inline constexpr std::uint8_t kRtsControlToggle = 3;

// The line settings as one record, read from the device, partly overwritten and
// written back.
struct TVaDcb {
    std::uint32_t BaudRate = 0;
    std::uint8_t ByteSize = 8;
    std::uint8_t Parity = kNoParity;
    std::uint8_t StopBits = kOneStopBit;
    std::uint8_t XonChar = 0;
    std::uint8_t XoffChar = 0;
    std::uint8_t ErrorChar = 0;
    std::uint8_t EofChar = 0;
    std::uint8_t EvtChar = 0;
    std::uint16_t XonLim = 0;
    std::uint16_t XoffLim = 0;

    bool fBinary = false;
    bool fParity = false;
    bool fOutxCtsFlow = false;
    bool fOutxDsrFlow = false;
    std::uint8_t fDtrControl = kDtrControlDisable;
    bool fDsrSensitivity = false;
    bool fTXContinueOnXoff = false;
    bool fOutX = false;
    bool fInX = false;
    bool fErrorChar = false;
    bool fNull = false;
    std::uint8_t fRtsControl = kRtsControlDisable;
    bool fAbortOnError = false;

    friend bool operator==(const TVaDcb&, const TVaDcb&) = default;
};

// The properties that ApplySettings writes into the record.
struct TVaLineProperties {
    TVaBaudrate Baudrate = br1200;
    TVaParity Parity = paNone;
    TVaDatabits Databits = db8;
    TVaStopbits Stopbits = sb1;
    TVaFlowControl FlowControl = fcRtsCts;
    TVaDTRControl DTRControl = dtrEnable;
    TVaRTSControl RTSControl = rtsEnable;
    TVaCommOptions Options;
    std::int32_t XonLim = 1024;
    std::int32_t XoffLim = 1024;
    std::uint8_t XonChar = 17;
    std::uint8_t XoffChar = 19;
    std::uint8_t ErrorChar = 0;
    std::uint8_t EventChar = 0;
};

std::uint32_t BaudrateValue(TVaBaudrate rate);

// `read` with the members that the properties govern overwritten; the flag bits
// are rebuilt from nothing, every other member is kept as read.
TVaDcb BuildDcb(const TVaDcb& read, const TVaLineProperties& properties);

// What a terminal-style serial interface can express of a record.
enum class TVaLineParity : std::uint8_t { None, Odd, Even, Mark, Space };
enum class TVaLineLevel : std::uint8_t { Off, On, Handshake };
struct TVaLineSettings {
    std::uint32_t BaudRate = 0;
    std::uint8_t DataBits = 8;
    TVaLineParity Parity = TVaLineParity::None;
    bool TwoStopBits = false;
    bool XonXoffOut = false;
    bool XonXoffIn = false;
    bool ParityCheck = false;
    std::uint8_t XonChar = 0;
    std::uint8_t XoffChar = 0;
    TVaLineLevel Dtr = TVaLineLevel::Off;
    // Handshake means RTS/CTS flow control in both directions.
    TVaLineLevel Rts = TVaLineLevel::Off;

    friend bool operator==(const TVaLineSettings&, const TVaLineSettings&) = default;
};

// Translates a record into line settings; false when the record asks for
// something that such an interface cannot do (4 data bits, 1.5 stop bits,
// DSR/DTR handshake, RTS toggle, flow control in one direction only, error-char
// replacement, null stripping, DSR sensitivity, a rate of 0).
bool DcbToLineSettings(const TVaDcb& dcb, TVaLineSettings& line);

// Line events, as the event wait reports them in its mask.
inline constexpr std::uint32_t kEvRxChar = 0x0001;
inline constexpr std::uint32_t kEvRxFlag = 0x0002;
inline constexpr std::uint32_t kEvTxEmpty = 0x0004;
inline constexpr std::uint32_t kEvCts = 0x0008;
inline constexpr std::uint32_t kEvDsr = 0x0010;
inline constexpr std::uint32_t kEvRlsd = 0x0020;
inline constexpr std::uint32_t kEvBreak = 0x0040;
inline constexpr std::uint32_t kEvErr = 0x0080;
inline constexpr std::uint32_t kEvRing = 0x0100;
inline constexpr std::uint32_t kEvRx80Full = 0x0400;
inline constexpr std::uint32_t kEvEvent1 = 0x0800;
inline constexpr std::uint32_t kEvEvent2 = 0x1000;

std::uint32_t EventMaskOf(TVaCommEvents events);

// Line-error flags, as OnError reports them.
inline constexpr std::int32_t kCeRxOver = 0x0001;
inline constexpr std::int32_t kCeOverrun = 0x0002;
inline constexpr std::int32_t kCeRxParity = 0x0004;
inline constexpr std::int32_t kCeFrame = 0x0008;
inline constexpr std::int32_t kCeBreak = 0x0010;

// Running totals of line events that a driver keeps; the component and the event
// thread each compare them with totals read earlier.
struct TVaLineCounters {
    std::uint32_t Cts = 0, Dsr = 0, Ring = 0, Dcd = 0;
    std::uint32_t Frame = 0, Overrun = 0, Parity = 0, Break = 0, BufOverrun = 0;
};

// The line-error flags for what happened between two readings.
std::int32_t LineErrorsBetween(const TVaLineCounters& before, const TVaLineCounters& after);
// The line events for what happened between two readings.
std::uint32_t LineEventsBetween(const TVaLineCounters& before, const TVaLineCounters& after);

// The device name: every "%d" of the pattern becomes the port number and "%%"
// becomes "%"; any other "%" stands for itself. The pattern is never handed to a
// printf-style formatter, so a stray conversion in it cannot read past the one
// argument.
std::string FormatDeviceName(const std::string& pattern, std::int32_t portNum);

// A system description of an error, without the trailing full stop and blanks.
std::string TrimErrorText(std::string text);
