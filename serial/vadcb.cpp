#include "vadcb.h"

#include <array>

std::uint32_t BaudrateValue(TVaBaudrate rate)
{
    static constexpr std::array<std::uint32_t, 15> kRates = {
        110, 300, 600, 1200, 2400, 4800, 9600, 14400,
        19200, 38400, 56000, 57600, 115200, 128000, 256000,
    };
    return rate < kRates.size() ? kRates[rate] : 0;
}

namespace {

std::uint8_t ByteSizeOf(TVaDatabits bits)
{
    switch (bits) {
    case db4: return 4;
    case db5: return 5;
    case db6: return 6;
    case db7: return 7;
    case db8: return 8;
    }
    return 8;
}

std::uint8_t ParityOf(TVaParity parity)
{
    switch (parity) {
    case paNone: return kNoParity;
    case paOdd: return kOddParity;
    case paEven: return kEvenParity;
    case paMark: return kMarkParity;
    case paSpace: return kSpaceParity;
    }
    return kNoParity;
}

std::uint8_t StopBitsOf(TVaStopbits bits)
{
    switch (bits) {
    case sb1: return kOneStopBit;
    case sb15: return kOne5StopBits;
    case sb2: return kTwoStopBits;
    }
    return kOneStopBit;
}

std::uint8_t DtrControlOf(TVaDTRControl control)
{
    switch (control) {
    case dtrDisable: return kDtrControlDisable;
    case dtrEnable: return kDtrControlEnable;
    case dtrHandshake: return kDtrControlHandshake;
    }
    return kDtrControlDisable;
}

std::uint8_t RtsControlOf(TVaRTSControl control)
{
    switch (control) {
    case rtsDisable: return kRtsControlDisable;
    case rtsEnable: return kRtsControlEnable;
    case rtsHandshake: return kRtsControlHandshake;
    case rtsToggle: return kRtsControlToggle;
    }
    return kRtsControlDisable;
}

} // namespace

TVaDcb BuildDcb(const TVaDcb& read, const TVaLineProperties& p)
{
    TVaDcb dcb = read;
    dcb.BaudRate = BaudrateValue(p.Baudrate);
    dcb.ByteSize = ByteSizeOf(p.Databits);
    dcb.Parity = ParityOf(p.Parity);
    dcb.StopBits = StopBitsOf(p.Stopbits);
    dcb.XonChar = p.XonChar;
    dcb.XoffChar = p.XoffChar;
    dcb.ErrorChar = p.ErrorChar;
    dcb.EvtChar = p.EventChar;
    // The record's limits are 16 bits wide; larger values keep their low bits.
    dcb.XonLim = std::uint16_t(std::uint32_t(p.XonLim) & 0xFFFFu);
    dcb.XoffLim = std::uint16_t(std::uint32_t(p.XoffLim) & 0xFFFFu);

    dcb.fBinary = true;
    dcb.fAbortOnError = true;
    dcb.fParity = false;
    dcb.fOutxCtsFlow = false;
    dcb.fOutxDsrFlow = false;
    dcb.fDtrControl = kDtrControlDisable;
    dcb.fDsrSensitivity = false;
    dcb.fTXContinueOnXoff = false;
    dcb.fOutX = false;
    dcb.fInX = false;
    dcb.fErrorChar = false;
    dcb.fNull = false;
    dcb.fRtsControl = kRtsControlDisable;

    switch (p.FlowControl) {
    case fcNone:
        break;
    case fcXonXoff:
        dcb.fOutX = true;
        dcb.fInX = true;
        break;
    case fcRtsCts:
        dcb.fOutxCtsFlow = true;
        dcb.fRtsControl = kRtsControlHandshake;
        break;
    case fcDtrDsr:
        dcb.fOutxDsrFlow = true;
        dcb.fDtrControl = kDtrControlHandshake;
        break;
    }
    // The line that the flow control drives is not the DTR/RTS property's to set.
    if (p.FlowControl != fcDtrDsr)
        dcb.fDtrControl = std::uint8_t(dcb.fDtrControl | DtrControlOf(p.DTRControl));
    if (p.FlowControl != fcRtsCts)
        dcb.fRtsControl = std::uint8_t(dcb.fRtsControl | RtsControlOf(p.RTSControl));

    dcb.fTXContinueOnXoff = p.Options.Contains(coContinueOnXOff);
    dcb.fErrorChar = p.Options.Contains(coErrorChar);
    dcb.fNull = p.Options.Contains(coNullStrip);
    dcb.fParity = p.Options.Contains(coParityCheck);
    dcb.fDsrSensitivity = p.Options.Contains(coDsrSensitivity);
    return dcb;
}

bool DcbToLineSettings(const TVaDcb& dcb, TVaLineSettings& line)
{
    TVaLineSettings out;
    if (dcb.BaudRate == 0)
        return false; // a rate of 0 would hang the line up
    out.BaudRate = dcb.BaudRate;

    if (dcb.ByteSize < 5 || dcb.ByteSize > 8)
        return false;
    out.DataBits = dcb.ByteSize;

    switch (dcb.Parity) {
    case kNoParity: out.Parity = TVaLineParity::None; break;
    case kOddParity: out.Parity = TVaLineParity::Odd; break;
    case kEvenParity: out.Parity = TVaLineParity::Even; break;
    case kMarkParity: out.Parity = TVaLineParity::Mark; break;
    case kSpaceParity: out.Parity = TVaLineParity::Space; break;
    default: return false;
    }

    switch (dcb.StopBits) {
    case kOneStopBit: out.TwoStopBits = false; break;
    case kTwoStopBits: out.TwoStopBits = true; break;
    default: return false;
    }

    // No DSR handshake, DSR gate, null stripping or replacement character exists
    // on such an interface.
    if (dcb.fOutxDsrFlow || dcb.fDtrControl == kDtrControlHandshake || dcb.fDsrSensitivity ||
        dcb.fNull || dcb.fErrorChar)
        return false;
    switch (dcb.fDtrControl) {
    case kDtrControlDisable: out.Dtr = TVaLineLevel::Off; break;
    case kDtrControlEnable: out.Dtr = TVaLineLevel::On; break;
    default: return false;
    }

    // RTS/CTS flow control is one switch for both directions, so it can only be
    // had as a pair.
    const bool rtsHandshake = (dcb.fRtsControl == kRtsControlHandshake);
    if (rtsHandshake != dcb.fOutxCtsFlow)
        return false;
    switch (dcb.fRtsControl) {
    case kRtsControlDisable: out.Rts = TVaLineLevel::Off; break;
    case kRtsControlEnable: out.Rts = TVaLineLevel::On; break;
    case kRtsControlHandshake: out.Rts = TVaLineLevel::Handshake; break;
    default: return false; // RTS toggle
    }

    out.XonXoffOut = dcb.fOutX;
    out.XonXoffIn = dcb.fInX;
    out.ParityCheck = dcb.fParity;
    out.XonChar = dcb.XonChar;
    out.XoffChar = dcb.XoffChar;
    // Accepted without an equivalent: the XON/XOFF limits and the event character
    // (the kernel keeps its own thresholds), continue-on-XOFF (the kernel never
    // holds its own output after sending XOFF), and abort-on-error (reads go on
    // after a line error; the error totals are read and cleared all the same).
    line = out;
    return true;
}

std::uint32_t EventMaskOf(TVaCommEvents events)
{
    static constexpr std::array<std::uint32_t, 9> kBits = {
        kEvBreak, kEvCts, kEvDsr, kEvErr, kEvRing, kEvRlsd, kEvRxChar, kEvTxEmpty, kEvRxFlag,
    };
    std::uint32_t mask = 0;
    for (unsigned i = 0; i < kBits.size(); ++i)
        if (events.Contains(TVaCommEvent(i)))
            mask |= kBits[i];
    return mask;
}

std::int32_t LineErrorsBetween(const TVaLineCounters& before, const TVaLineCounters& after)
{
    std::int32_t errors = 0;
    if (after.BufOverrun != before.BufOverrun)
        errors |= kCeRxOver;
    if (after.Overrun != before.Overrun)
        errors |= kCeOverrun;
    if (after.Parity != before.Parity)
        errors |= kCeRxParity;
    if (after.Frame != before.Frame)
        errors |= kCeFrame;
    if (after.Break != before.Break)
        errors |= kCeBreak;
    return errors;
}

std::uint32_t LineEventsBetween(const TVaLineCounters& before, const TVaLineCounters& after)
{
    std::uint32_t events = 0;
    if (after.Cts != before.Cts)
        events |= kEvCts;
    if (after.Dsr != before.Dsr)
        events |= kEvDsr;
    if (after.Dcd != before.Dcd)
        events |= kEvRlsd;
    if (after.Ring != before.Ring)
        events |= kEvRing;
    if (after.Break != before.Break)
        events |= kEvBreak;
    if (after.Frame != before.Frame || after.Overrun != before.Overrun ||
        after.Parity != before.Parity || after.BufOverrun != before.BufOverrun)
        events |= kEvErr;
    return events;
}

std::string FormatDeviceName(const std::string& pattern, std::int32_t portNum)
{
    std::string name;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == '%' && i + 1 < pattern.size()) {
            if (pattern[i + 1] == 'd') {
                name += std::to_string(portNum);
                ++i;
                continue;
            }
            if (pattern[i + 1] == '%') {
                name += '%';
                ++i;
                continue;
            }
        }
        name += pattern[i];
    }
    return name;
}

std::string TrimErrorText(std::string text)
{
    while (!text.empty() && (static_cast<unsigned char>(text.back()) < '!' || text.back() == '.'))
        text.pop_back();
    return text;
}
