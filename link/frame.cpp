#include "frame.h"

#include "fcrc.h"

#include <algorithm>

std::vector<std::uint8_t> EncodeLinkFrame(std::uint8_t command, std::uint32_t address,
                                          std::span<const std::uint8_t> data)
{
    std::vector<std::uint8_t> frame(kPreamble.begin(), kPreamble.end());
    frame.reserve(kFrameOverhead + data.size());
    const auto length = static_cast<std::uint16_t>(data.size());
    frame.push_back(command);
    frame.push_back(static_cast<std::uint8_t>(length));
    frame.push_back(static_cast<std::uint8_t>(length >> 8));
    for (int shift = 0; shift < 32; shift += 8)
        frame.push_back(static_cast<std::uint8_t>(address >> shift));
    frame.insert(frame.end(), data.begin(), data.end());
    const std::uint16_t crc = CrcOf(frame);
    frame.push_back(static_cast<std::uint8_t>(crc));
    frame.push_back(static_cast<std::uint8_t>(crc >> 8));
    return frame;
}

void TLinkReceiver::Reset()
{
    RxState = SeekPreamble;
    SyncWindow.clear();
    Resting = false;
}

TLinkReceiver::TResult TLinkReceiver::Feed(std::uint8_t b)
{
    switch (RxState) {
    case SeekPreamble:
        SyncWindow.push_back(static_cast<char>(b));
        if (SyncWindow.size() > kPreamble.size())
            SyncWindow.erase(0, 1);
        if (std::equal(SyncWindow.begin(), SyncWindow.end(), kPreamble.begin(), kPreamble.end())) {
            Crc = CrcOf(kPreamble);
            RxState = ReadCommand;
        }
        break;
    case ReadCommand:
        CrcUpdate(Crc, b);
        RxCommand = b;
        RxLengthCount = 0;
        RxLength = 0;
        RxState = ReadLength;
        break;
    case ReadLength:
        CrcUpdate(Crc, b);
        RxLength += std::int32_t(b) << (8 * RxLengthCount);
        if (++RxLengthCount == 2) {
            RxAddressCount = 0;
            RxAddress = 0;
            RxState = ReadAddress;
        }
        break;
    case ReadAddress:
        CrcUpdate(Crc, b);
        RxAddress += std::uint32_t(b) << (8 * RxAddressCount);
        if (++RxAddressCount == 4) {
            if (RxLength == 0) {
                RxState = ReadCrcLow;
            } else {
                RxDataCount = 0;
                RxState = ReadData;
            }
        }
        break;
    case ReadData:
        CrcUpdate(Crc, b);
        ++RxDataCount;
        // An over-long frame is still counted and checked to its end, so the
        // receiver stays in step with the sender; only the storage stops.
        if (RxDataCount <= int(kRxDataSize))
            RxData[RxDataCount - 1] = b;
        if (RxDataCount == RxLength)
            RxState = ReadCrcLow;
        break;
    case ReadCrcLow:
        CrcUpdate(Crc, b);
        RxState = ReadCrcHigh;
        break;
    case ReadCrcHigh:
        if (Resting)
            break;
        CrcUpdate(Crc, b);
        Resting = true;
        return Crc == 0 ? TResult::FrameGood : TResult::FrameBad;
    }
    return TResult::Pending;
}

std::size_t TLinkReceiver::BytesToFrameEnd(std::size_t leastData) const
{
    constexpr std::size_t kAfterPreamble = 1 + 2 + 4 + 2; // command, length, address, CRC
    const auto length = std::size_t(std::max<std::int32_t>(RxLength, 0));
    switch (RxState) {
    case SeekPreamble: {
        // The preamble bytes the window already ends with.
        std::size_t matched = 0;
        for (std::size_t k = std::min(SyncWindow.size(), kPreamble.size()); k > 0; --k) {
            if (std::equal(SyncWindow.end() - std::ptrdiff_t(k), SyncWindow.end(), kPreamble.begin())) {
                matched = k;
                break;
            }
        }
        return kPreamble.size() - matched + kAfterPreamble + leastData;
    }
    case ReadCommand:
        return kAfterPreamble + leastData;
    case ReadLength:
        if (RxLengthCount == 0)
            return 2 + 4 + leastData + 2;
        // What of the length is known already is the least it can be.
        return std::size_t(2 - RxLengthCount) + 4 + length + 2;
    case ReadAddress:
        return std::size_t(4 - RxAddressCount) + length + 2;
    case ReadData:
        return length - std::size_t(RxDataCount) + 2;
    case ReadCrcLow:
        return 2;
    case ReadCrcHigh:
        return 1;
    }
    return 1;
}

std::string TLinkReceiver::DataText() const
{
    const auto n = std::clamp<std::int32_t>(RxLength, 0, std::int32_t(kRxDataSize));
    return std::string(RxData.begin(), RxData.begin() + n);
}
