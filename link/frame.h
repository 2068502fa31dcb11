#pragma once

// Layout of the framed message both ends of the target link exchange:
//   "$APL$", command, length (16 bit), address (32 bit), data, CRC (low, high)
// with every multi-byte field little-endian and the CRC over everything before it.

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

inline constexpr std::array<std::uint8_t, 5> kPreamble = {'$', 'A', 'P', 'L', '$'};
inline constexpr std::size_t kFrameOverhead = 14; // preamble, command, length, address, CRC
inline constexpr std::size_t kRxDataSize = 512;

// The complete bytes of one frame, as they go on the wire. The length field holds
// data.size() modulo 65536; callers keep data within 65535 bytes.
std::vector<std::uint8_t> EncodeLinkFrame(std::uint8_t command, std::uint32_t address,
                                          std::span<const std::uint8_t> data);

// Rebuilds frames from bytes delivered one at a time. Bytes before a preamble are
// skipped; once the preamble is found, everything up to the CRC is frame content.
// After a frame's last byte the receiver rests until Reset(): bytes arriving then
// belong to no frame and are ignored, so a finished frame is never reported twice.
class TLinkReceiver {
public:
    enum TRxState : std::uint8_t {
        SeekPreamble,
        ReadCommand,
        ReadLength,
        ReadAddress,
        ReadData,
        ReadCrcLow,
        ReadCrcHigh,
    };

    enum class TResult {
        Pending,   // byte taken (or ignored); no frame ended with it
        FrameGood, // byte ended a frame whose CRC verifies
        FrameBad,  // byte ended a frame whose CRC does not verify
    };

    void Reset();
    TResult Feed(std::uint8_t b);
    // The fewest bytes that can still end the frame being received (at least
    // 1): a reader may wait for that many before looking again. Until the
    // frame's length has begun to come, `leastData` data bytes are counted in:
    // the fewest that the frame awaited can carry and still be taken.
    std::size_t BytesToFrameEnd(std::size_t leastData = 0) const;

    // Data byte n of the last frame, counted from 1 as the protocol counts them.
    // Positions past 512 are never stored; positions a shorter frame did not reach
    // keep the byte of an earlier frame.
    std::uint8_t DataByte(int n) const { return (n >= 1 && n <= int(kRxDataSize)) ? RxData[n - 1] : 0; }
    // Data bytes 1 to min(RxLength, 512) as a byte string.
    std::string DataText() const;

    std::uint16_t Crc = 0;
    std::string SyncWindow;
    std::uint8_t RxState = SeekPreamble;
    std::uint8_t RxCommand = 0;
    std::int32_t RxLengthCount = 0;
    std::int32_t RxLength = 0;
    std::int32_t RxAddressCount = 0;
    std::uint32_t RxAddress = 0;
    std::int32_t RxDataCount = 0;
    std::array<std::uint8_t, kRxDataSize> RxData{};

private:
    bool Resting = false; // the frame in ReadCrcHigh has already ended
};
