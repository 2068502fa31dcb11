// Feeds arbitrary bytes through the frame receiver and checks everything it does
// against an independent reading of the same bytes.
//
// Input layout: the first byte says how many bytes the receiver is given while it
// rests after a frame before it is reset (as the next request would reset it);
// every further byte is a received byte.

#include "fcrc.h"
#include "frame.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <span>
#include <vector>

namespace {

void Require(bool holds, const char* invariant)
{
    if (!holds) {
        std::fprintf(stderr, "receiver invariant broken: %s\n", invariant);
        std::abort();
    }
}

// Guard bytes right behind the receiver: a store past RxData that stayed inside
// the object would slip past AddressSanitizer, but not past this.
struct TGuardedReceiver {
    TLinkReceiver Receiver;
    std::array<std::uint8_t, 64> Guard;
};
constexpr std::uint8_t kGuardByte = 0xA5;

struct TFieldSnapshot {
    std::uint16_t Crc;
    std::uint8_t RxState, RxCommand;
    std::int32_t RxLengthCount, RxLength, RxAddressCount;
    std::uint32_t RxAddress;
    std::int32_t RxDataCount;
    std::array<std::uint8_t, kRxDataSize> RxData;

    explicit TFieldSnapshot(const TLinkReceiver& r)
        : Crc(r.Crc), RxState(r.RxState), RxCommand(r.RxCommand), RxLengthCount(r.RxLengthCount),
          RxLength(r.RxLength), RxAddressCount(r.RxAddressCount), RxAddress(r.RxAddress),
          RxDataCount(r.RxDataCount), RxData(r.RxData)
    {
    }
    bool operator==(const TFieldSnapshot&) const = default;
};

std::size_t LengthField(const std::vector<std::uint8_t>& frame)
{
    return frame[6] | std::size_t(frame[7]) << 8;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const unsigned bytesWhileResting = data[0];
    const std::span<const std::uint8_t> input(data + 1, size - 1);

    auto guarded = std::make_unique<TGuardedReceiver>();
    guarded->Guard.fill(kGuardByte);
    TLinkReceiver& r = guarded->Receiver;

    // The model: what the receiver should be holding, derived from the input alone.
    std::vector<std::uint8_t> seen;  // bytes since the last reset, while seeking
    std::vector<std::uint8_t> frame; // the frame in progress, from its preamble on
    std::array<std::uint8_t, kRxDataSize> expectedData{};
    bool resting = false;
    unsigned restedBytes = 0;

    for (std::uint8_t b : input) {
        if (resting) {
            const TFieldSnapshot before(r);
            Require(r.Feed(b) == TLinkReceiver::TResult::Pending, "a resting receiver reports nothing");
            Require(TFieldSnapshot(r) == before, "a resting receiver changes nothing");
            if (++restedBytes >= bytesWhileResting) {
                r.Reset();
                Require(TFieldSnapshot(r).RxData == before.RxData && r.RxCommand == before.RxCommand &&
                            r.RxLength == before.RxLength && r.RxAddress == before.RxAddress,
                        "a reset keeps the received fields");
                Require(r.RxState == TLinkReceiver::SeekPreamble && r.SyncWindow.empty(),
                        "a reset seeks the preamble afresh");
                resting = false;
                seen.clear();
            }
            continue;
        }

        const auto stateBefore = r.RxState;
        const auto result = r.Feed(b);

        if (stateBefore == TLinkReceiver::SeekPreamble) {
            seen.push_back(b);
            const bool found = seen.size() >= kPreamble.size() &&
                               std::equal(seen.end() - kPreamble.size(), seen.end(), kPreamble.begin());
            Require(result == TLinkReceiver::TResult::Pending, "no frame ends while seeking");
            Require(found == (r.RxState == TLinkReceiver::ReadCommand),
                    "the preamble is found exactly where five bytes spell it");
            Require(r.SyncWindow.size() <= kPreamble.size(), "the sync window holds at most five bytes");
            if (found) {
                Require(r.Crc == CrcOf(kPreamble), "the CRC restarts with the preamble folded in");
                frame.assign(kPreamble.begin(), kPreamble.end());
            }
        } else {
            frame.push_back(b);
            const std::size_t headerEnd = 12;
            if (frame.size() > headerEnd) {
                const std::size_t position = frame.size() - headerEnd; // counted from 1
                if (position <= LengthField(frame) && position <= kRxDataSize)
                    expectedData[position - 1] = b;
            }
            const bool ends = frame.size() >= headerEnd && frame.size() == headerEnd + LengthField(frame) + 2;
            if (!ends) {
                Require(result == TLinkReceiver::TResult::Pending, "a frame ends only where its length says");
            } else {
                const bool intact = CrcOf(frame) == 0;
                Require(result == (intact ? TLinkReceiver::TResult::FrameGood : TLinkReceiver::TResult::FrameBad),
                        "a frame is reported good exactly when its CRC verifies");
                Require(r.RxState == TLinkReceiver::ReadCrcHigh, "the receiver rests in ReadCrcHigh");
                if (intact) {
                    Require(r.Crc == 0, "an intact frame leaves the CRC at 0");
                    const std::size_t length = LengthField(frame);
                    Require(r.RxLength == std::int32_t(length), "the length field is taken as sent");
                    const std::span<const std::uint8_t> payload(frame.data() + headerEnd, length);
                    Require(EncodeLinkFrame(r.RxCommand, r.RxAddress, payload) == frame,
                            "a reported frame re-encodes to its bytes");
                    const std::size_t stored = std::min(length, kRxDataSize);
                    Require(std::equal(payload.begin(), payload.begin() + stored, r.RxData.begin()),
                            "the stored data are the frame's data");
                }
                resting = true;
                restedBytes = 0;
                if (bytesWhileResting == 0) {
                    r.Reset();
                    resting = false;
                    seen.clear();
                }
            }
        }

        Require(r.RxData == expectedData, "RxData holds the data stored so far and nothing else");
        Require(r.RxState <= TLinkReceiver::ReadCrcHigh, "the state stays within 0 to 6");
        Require(r.RxLengthCount >= 0 && r.RxLengthCount <= 2 && r.RxAddressCount >= 0 && r.RxAddressCount <= 4,
                "the field counters stay within their widths");
        Require(r.RxLength >= 0 && r.RxLength <= 0xFFFF, "the length stays 16 bits");
        Require(r.RxState != TLinkReceiver::ReadData || (r.RxDataCount >= 0 && r.RxDataCount < r.RxLength),
                "no more data is counted than the length announced");
        Require(std::all_of(guarded->Guard.begin(), guarded->Guard.end(), [](std::uint8_t g) { return g == kGuardByte; }),
                "nothing is stored past RxData");
    }
    return 0;
}
