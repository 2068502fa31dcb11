#pragma once

// The conversation with the controller, owned by the window: the frame sender
// and receiver and the response timer that every request arms.

#include "frame.h"

#include <QObject>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

class TVaCustomComm;

// How long the controller has to answer a request (or, for the loader upload,
// to send the loader's first frame) before the conversation gives up.
inline constexpr std::chrono::milliseconds kReplyTimeout{8000};

class TConversation : public QObject {
public:
    explicit TConversation(TVaCustomComm& port, QObject* parent = nullptr);

    // Sending. The bytes of a frame or upload are gathered from ResetCrc (or
    // BeginFrame) on and go to the port together at EndFrame, so that a request
    // is one write to the system. None of these waits for the line (see
    // TVaCustomComm::Send): a write the port refuses raises EVaCommWriteError,
    // and one the line stops taking is reported to the port's owner.
    void ResetCrc();
    void SendByte(std::uint8_t b);
    void SendLong(std::uint32_t v);
    void BeginFrame();
    void EndFrame();
    void SendTextLine(std::string_view text);
    // Bytes outside any frame ("APL"), written at once.
    void SendBytes(std::span<const std::uint8_t> bytes);
    // One whole framed request: the receiver is reset first, so that the reply
    // is sought from its preamble, then the frame is written. The length field
    // holds data.size() modulo 65536.
    void SendRequest(std::uint8_t command, std::uint32_t address,
                     std::span<const std::uint8_t> data = {});

    // Receiving.
    void ResetReceiver();
    // True exactly when b completes a frame whose CRC verifies. A frame whose
    // CRC does not verify is dropped, and the receiver looks for the next one.
    // The time-out is left alone either way: only the reply that the caller
    // takes as the answer to its request ends the wait.
    bool ParseReplyByte(std::uint8_t b);

    // The fields of the frame being received or last received. They keep their
    // values until the next frame overwrites them.
    std::uint8_t RxCommand() const { return Receiver.RxCommand; }
    std::int32_t RxLength() const { return Receiver.RxLength; }
    std::uint32_t RxAddress() const { return Receiver.RxAddress; }
    // Data byte n, counted from 1; 0 past the 512 bytes that are kept.
    std::uint8_t RxData(int n) const { return Receiver.DataByte(n); }
    // Data bytes 1 to RxLength, cut at the 512 bytes that are kept.
    std::string RxDataText() const { return Receiver.DataText(); }
    const TLinkReceiver& LinkReceiver() const { return Receiver; }
    // The fewest bytes that can still end the reply being received, when a
    // reply with fewer than `leastData` data bytes would not be taken.
    std::size_t ReplyBytesNeeded(std::size_t leastData = 0) const { return Receiver.BytesToFrameEnd(leastData); }

    // The response timer. Arming an armed timer leaves its period running from
    // the first arming.
    void ArmTimeOut();
    // Arms for what was left of a period that was set aside (while a report was
    // shown, say); does nothing when armed.
    void ArmTimeOutFor(std::chrono::milliseconds left);
    void DisarmTimeOut();
    bool TimeOutArmed() const { return timeOut.isActive(); }
    // What is left of the armed period; negative when disarmed.
    std::chrono::milliseconds TimeOutRemaining() const { return timeOut.remainingTimeAsDuration(); }
    // Tests shorten the period; it applies from the next arming on.
    void SetReplyTimeout(std::chrono::milliseconds period) { ReplyTimeout = period; }

    // The handler of timeOut: disarms it, then runs OnTimeOut.
    void timeOutTimer();
    std::function<void()> OnTimeOut;

    // The running CRC of the request being written; 0xFFFF between requests.
    std::uint16_t Crc = 0;

private:
    void Write(std::span<const std::uint8_t> bytes);

    TVaCustomComm& ProgPort;
    TLinkReceiver Receiver;
    std::vector<std::uint8_t> Pending; // the request being gathered
    QTimer timeOut;
    std::chrono::milliseconds ReplyTimeout = kReplyTimeout;
};
