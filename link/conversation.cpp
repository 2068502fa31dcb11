#include "conversation.h"

#include "fcrc.h"

#include <vacomm.h>

#include <algorithm>
#include <exception>

TConversation::TConversation(TVaCustomComm& port, QObject* parent)
    : QObject(parent), ProgPort(port)
{
    // The default coarse timer may fire up to 5% late; the controller's
    // deadline is measured in whole seconds and tests check it on the real value.
    timeOut.setTimerType(Qt::PreciseTimer);
    connect(&timeOut, &QTimer::timeout, this, [this] {
        // Nothing may leave a timer slot through the event loop; whatever the
        // handler raises goes to the application's report like a port event's.
        try {
            timeOutTimer();
        } catch (...) {
            VaReportException(std::current_exception());
        }
    });
}

void TConversation::ResetCrc()
{
    Crc = kCrcInitial;
    Pending.clear();
}

void TConversation::SendByte(std::uint8_t b)
{
    CrcUpdate(Crc, b);
    Pending.push_back(b);
}

void TConversation::SendLong(std::uint32_t v)
{
    for (int shift = 0; shift < 32; shift += 8)
        SendByte(static_cast<std::uint8_t>(v >> shift));
}

void TConversation::BeginFrame()
{
    ArmTimeOut();
    ResetCrc();
    for (std::uint8_t b : kPreamble)
        SendByte(b);
}

void TConversation::EndFrame()
{
    // The CRC bytes themselves are not folded: the CRC covers what precedes it.
    Pending.push_back(static_cast<std::uint8_t>(Crc));
    Pending.push_back(static_cast<std::uint8_t>(Crc >> 8));
    std::vector<std::uint8_t> frame;
    frame.swap(Pending);
    Crc = kCrcInitial;
    Write(frame);
}

void TConversation::SendTextLine(std::string_view text)
{
    std::vector<std::uint8_t> line(text.begin(), text.end());
    line.push_back(0x0D);
    line.push_back(0x0A);
    Write(line);
}

void TConversation::SendBytes(std::span<const std::uint8_t> bytes)
{
    Write(bytes);
}

void TConversation::Write(std::span<const std::uint8_t> bytes)
{
    // Never waits for the line: what it cannot take yet goes as it takes it,
    // and a request it stops taking is reported to the port's owner. Not
    // retried: a request cut short is not completed later, and the
    // conversation is reset over it.
    ProgPort.Send(bytes.data(), static_cast<std::int32_t>(bytes.size()));
}

void TConversation::SendRequest(std::uint8_t command, std::uint32_t address,
                                std::span<const std::uint8_t> data)
{
    const auto length = static_cast<std::uint16_t>(data.size());
    ResetReceiver();
    BeginFrame();
    SendByte(command);
    SendByte(static_cast<std::uint8_t>(length));
    SendByte(static_cast<std::uint8_t>(length >> 8));
    SendLong(address);
    for (std::uint8_t b : data)
        SendByte(b);
    EndFrame();
}

void TConversation::ResetReceiver()
{
    Receiver.Reset();
}

bool TConversation::ParseReplyByte(std::uint8_t b)
{
    const auto result = Receiver.Feed(b);
    if (result == TLinkReceiver::TResult::FrameBad) {
        // Dropped; the request it may have answered is still outstanding, and
        // an intact reply behind it is still taken.
        Receiver.Reset();
        return false;
    }
    return result == TLinkReceiver::TResult::FrameGood;
}

void TConversation::ArmTimeOut()
{
    // QTimer::start() and setInterval() both restart a running timer; the
    // period must keep running from the first arming, so that the 8 s given to
    // the loader upload count from the identification, not from its last byte.
    if (timeOut.isActive())
        return;
    timeOut.setInterval(ReplyTimeout);
    timeOut.start();
}

void TConversation::ArmTimeOutFor(std::chrono::milliseconds left)
{
    if (timeOut.isActive())
        return;
    timeOut.setInterval(std::max(left, std::chrono::milliseconds::zero()));
    timeOut.start();
}

void TConversation::DisarmTimeOut()
{
    timeOut.stop();
}

void TConversation::timeOutTimer()
{
    DisarmTimeOut();
    if (OnTimeOut)
        OnTimeOut();
}
