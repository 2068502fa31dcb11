// The CRC, the frame layout and the receiver on their own, without a port.

#include "fcrc.h"
#include "frame.h"
#include "hex.h"

#include <gtest/gtest.h>

#include <numeric>

namespace {

using TResult = TLinkReceiver::TResult;

const std::vector<std::uint8_t> kVersionRequest = Hex("24 41 50 4C 24 56 00 00 00 00 00 00 3A 86");
const std::vector<std::uint8_t> kVersionReply =
    Hex("24 41 50 4C 24 56 09 00 00 40 00 00 2F 01 00 00 08 00 00 00 01 F1 DF");

// The CRC the slow way, one bit at a time, to hold the table against.
std::uint16_t BitwiseCrcUpdate(std::uint16_t crc, std::uint8_t b)
{
    crc ^= b;
    for (int bit = 0; bit < 8; ++bit)
        crc = (crc & 1u) ? std::uint16_t((crc >> 1) ^ 0x8408u) : std::uint16_t(crc >> 1);
    return crc;
}

std::vector<TResult> FeedAll(TLinkReceiver& receiver, const std::vector<std::uint8_t>& bytes)
{
    std::vector<TResult> results;
    for (std::uint8_t b : bytes)
        results.push_back(receiver.Feed(b));
    return results;
}

// Index of the one byte that ended a frame, or -1; fails if more than one did.
int EndingByte(const std::vector<TResult>& results)
{
    int ending = -1;
    for (std::size_t i = 0; i < results.size(); ++i) {
        if (results[i] != TResult::Pending) {
            EXPECT_EQ(ending, -1) << "a second frame end at byte " << i;
            ending = int(i);
        }
    }
    return ending;
}

std::vector<std::uint8_t> Counting(std::size_t n, std::uint8_t first)
{
    std::vector<std::uint8_t> bytes(n);
    std::iota(bytes.begin(), bytes.end(), first);
    return bytes;
}

TEST(LinkCrc, GivesTheCheckValueOverTheNineDigits)
{
    EXPECT_EQ(CrcOf(Text("123456789")), 0x6F91);
}

TEST(LinkCrc, EveryTableEntryMatchesTheBitwiseDefinition)
{
    for (std::uint16_t start : {0x0000, 0xFFFF, 0x1234, 0x8001}) {
        for (unsigned b = 0; b < 256; ++b) {
            std::uint16_t crc = start;
            CrcUpdate(crc, std::uint8_t(b));
            ASSERT_EQ(crc, BitwiseCrcUpdate(start, std::uint8_t(b))) << "start " << start << " byte " << b;
        }
    }
}

TEST(LinkCrc, FoldingAnIntactFrameWithItsCrcGivesZero)
{
    EXPECT_EQ(CrcOf(kVersionRequest), 0);
    EXPECT_EQ(CrcOf(kVersionReply), 0);
}

TEST(LinkFrameLayout, EncodesTheGoldenFrames)
{
    EXPECT_EQ(EncodeLinkFrame('V', 0, {}), kVersionRequest);
    const std::vector<std::uint8_t> versionData(kVersionReply.begin() + 12, kVersionReply.end() - 2);
    EXPECT_EQ(EncodeLinkFrame('V', 0x4000, versionData), kVersionReply);
}

TEST(LinkReceiver, StartsWithEveryFieldZero)
{
    const TLinkReceiver receiver;
    EXPECT_EQ(receiver.RxState, TLinkReceiver::SeekPreamble);
    EXPECT_TRUE(receiver.SyncWindow.empty());
    EXPECT_EQ(receiver.RxCommand, 0);
    EXPECT_EQ(receiver.RxLength, 0);
    EXPECT_EQ(receiver.RxAddress, 0u);
    EXPECT_EQ(receiver.RxDataCount, 0);
    EXPECT_EQ(receiver.RxData, (std::array<std::uint8_t, kRxDataSize>{}));
}

TEST(LinkReceiver, TakesTheIntactVersionReplyApart)
{
    TLinkReceiver receiver;
    const auto results = FeedAll(receiver, kVersionReply);

    EXPECT_EQ(EndingByte(results), int(kVersionReply.size()) - 1);
    EXPECT_EQ(results.back(), TResult::FrameGood);
    EXPECT_EQ(receiver.RxCommand, 'V');
    EXPECT_EQ(receiver.RxLength, 9);
    EXPECT_EQ(receiver.RxAddress, 0x4000u);
    EXPECT_EQ(receiver.Crc, 0);
    EXPECT_EQ(receiver.RxState, TLinkReceiver::ReadCrcHigh);
    // Data bytes counted from 1: version 303, FlashEnd 0x80000, byte 7 unused, block size 256.
    const std::vector<std::uint8_t> expected = Hex("2F 01 00 00 08 00 00 00 01");
    for (int n = 1; n <= 9; ++n)
        EXPECT_EQ(receiver.DataByte(n), expected[n - 1]) << "data byte " << n;
}

TEST(LinkReceiver, ReportsADamagedFrameAsBadAtItsLastByteAndThenRests)
{
    struct TDamage {
        const char* What;
        std::size_t Offset;
    };
    const TDamage damages[] = {
        {"a data byte", 13}, {"the command", 5}, {"the address", 9}, {"the CRC's high byte", 22},
    };
    for (const auto& damage : damages) {
        SCOPED_TRACE(damage.What);
        auto frame = kVersionReply;
        frame[damage.Offset] ^= 0x01;
        TLinkReceiver receiver;
        const auto results = FeedAll(receiver, frame);

        EXPECT_EQ(EndingByte(results), int(frame.size()) - 1);
        EXPECT_EQ(results.back(), TResult::FrameBad);
        EXPECT_EQ(receiver.RxState, TLinkReceiver::ReadCrcHigh);

        // Resting: not even an intact frame right behind it is taken in.
        const auto copy = receiver.RxData;
        EXPECT_EQ(EndingByte(FeedAll(receiver, kVersionReply)), -1);
        EXPECT_EQ(receiver.RxState, TLinkReceiver::ReadCrcHigh);
        EXPECT_EQ(receiver.RxData, copy);
    }
}

TEST(LinkReceiver, FindsThePreambleOnlyAsFiveConsecutiveBytes)
{
    struct TCase {
        const char* Before; // bytes ahead of the command byte
        int FoundAt;        // 1-based index of the byte that completes the preamble; 0: never
    };
    const TCase cases[] = {
        {"24 41 50 4C 24", 5},
        {"58 24 24 41 50 4C 24", 7},          // junk, then a stray '$'
        {"24 24 41 50 4C 24", 6},             // partial preamble overlapping the real one
        {"24 41 50 24 41 50 4C 24", 8},       // a preamble broken off and started again
        {"24 41 50 4C 24 41 50 4C 24", 5},    // the first one wins; the rest is frame content
        {"24 41 50 6C 24", 0},                // case matters
        {"24 41 50 4C", 0},                   // one byte short
        {"24 41 50 4C 00 24", 0},             // interrupted
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Before);
        TLinkReceiver receiver;
        const auto bytes = Hex(c.Before);
        int foundAt = 0;
        for (std::size_t i = 0; i < bytes.size() && foundAt == 0; ++i) {
            EXPECT_EQ(receiver.Feed(bytes[i]), TResult::Pending);
            if (receiver.RxState != TLinkReceiver::SeekPreamble)
                foundAt = int(i) + 1;
        }
        EXPECT_EQ(foundAt, c.FoundAt);
        EXPECT_LE(receiver.SyncWindow.size(), 5u);
        if (c.FoundAt != 0) {
            EXPECT_EQ(receiver.RxState, TLinkReceiver::ReadCommand);
            EXPECT_EQ(receiver.Crc, CrcOf(kPreamble));
            receiver.Feed('V');
            EXPECT_EQ(receiver.RxCommand, 'V');
        }
    }
}

TEST(LinkReceiver, TakesAPreambleInsideAFrameAsContent)
{
    TLinkReceiver receiver;
    const auto data = Text("x$APL$y");
    const auto results = FeedAll(receiver, Join(Text("junk"), EncodeLinkFrame('$', 0x24415024, data)));

    ASSERT_NE(EndingByte(results), -1);
    EXPECT_EQ(results.back(), TResult::FrameGood);
    EXPECT_EQ(receiver.RxCommand, '$');
    EXPECT_EQ(receiver.RxAddress, 0x24415024u);
    EXPECT_EQ(receiver.DataText(), "x$APL$y");
}

TEST(LinkReceiver, KeepsOlderDataWhereAShorterFrameDoesNotReach)
{
    TLinkReceiver receiver;
    FeedAll(receiver, EncodeLinkFrame('P', 0, Counting(9, 0x11)));
    ASSERT_EQ(receiver.DataText(), std::string("\x11\x12\x13\x14\x15\x16\x17\x18\x19"));
    const auto dataCount = receiver.RxDataCount;

    // Length 0: the CRC follows the address directly and nothing is stored.
    receiver.Reset();
    const auto empty = EncodeLinkFrame('E', 7, {});
    ASSERT_EQ(empty.size(), 14u);
    const auto emptyResults = FeedAll(receiver, empty);
    EXPECT_EQ(EndingByte(emptyResults), 13);
    EXPECT_EQ(emptyResults.back(), TResult::FrameGood);
    EXPECT_EQ(receiver.RxLength, 0);
    EXPECT_EQ(receiver.RxAddress, 7u);
    EXPECT_EQ(receiver.RxDataCount, dataCount);
    EXPECT_EQ(receiver.DataText(), "");

    // Length 3: positions 4 to 9 still hold the first frame's bytes.
    receiver.Reset();
    FeedAll(receiver, EncodeLinkFrame('P', 0, Hex("A1 A2 A3")));
    const std::vector<std::uint8_t> expected = Hex("A1 A2 A3 14 15 16 17 18 19 00");
    for (int n = 1; n <= 10; ++n)
        EXPECT_EQ(receiver.DataByte(n), expected[n - 1]) << "data byte " << n;
    EXPECT_EQ(receiver.DataText(), "\xA1\xA2\xA3");
}

TEST(LinkReceiver, KeepsTheFieldsAfterAResetUntilTheNextFrameOverwritesThem)
{
    TLinkReceiver receiver;
    FeedAll(receiver, kVersionReply);
    receiver.Reset();
    EXPECT_EQ(receiver.RxState, TLinkReceiver::SeekPreamble);
    EXPECT_TRUE(receiver.SyncWindow.empty());

    // A new search: the first bytes after the reset are junk and a half preamble.
    const auto next = Join(Hex("24 41 00"), EncodeLinkFrame('S', 0x01020304, Hex("06")));
    std::size_t i = 0;
    for (; receiver.RxState == TLinkReceiver::SeekPreamble; ++i) {
        EXPECT_EQ(receiver.RxCommand, 'V');
        EXPECT_EQ(receiver.RxLength, 9);
        EXPECT_EQ(receiver.RxAddress, 0x4000u);
        receiver.Feed(next[i]);
    }
    EXPECT_EQ(i, 8u);
    std::vector<TResult> results;
    for (; i < next.size(); ++i)
        results.push_back(receiver.Feed(next[i]));
    EXPECT_EQ(results.back(), TResult::FrameGood);
    EXPECT_EQ(receiver.RxCommand, 'S');
    EXPECT_EQ(receiver.RxLength, 1);
    EXPECT_EQ(receiver.RxAddress, 0x01020304u);
    EXPECT_EQ(receiver.DataByte(1), 0x06);
    EXPECT_EQ(receiver.DataByte(2), 0x01); // from the version reply
}

// A reader waits for this many bytes before it looks again: never more than the
// frame still has (it would wait for bytes that never come), and exactly what
// it still has once its length is known.
TEST(LinkReceiver, KnowsHowManyBytesTheFrameStillNeeds)
{
    // `least`: the data bytes the reader knows the frame carries at least.
    const struct {
        const char* what;
        std::vector<std::uint8_t> junk;
        std::vector<std::uint8_t> frame;
        std::size_t least;
    } cases[] = {
        {"a reply of one data byte", {}, EncodeLinkFrame('P', 0x4000, std::vector<std::uint8_t>{0x06}), 1},
        {"no data", {}, EncodeLinkFrame('S', 0, {}), 0},
        {"a version reply behind noise that looks like a preamble", {'$', 'A', 'P', '$', 'A'},
         EncodeLinkFrame('V', 0x4000, std::vector<std::uint8_t>(9, 0x2F)), 9},
        {"300 data bytes", {0x00}, EncodeLinkFrame('L', 0, std::vector<std::uint8_t>(300, 'x')), 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TLinkReceiver receiver;
        for (std::uint8_t b : c.junk)
            receiver.Feed(b);
        for (std::size_t at = 0; at < c.frame.size(); ++at) {
            const std::size_t left = c.frame.size() - at;
            const std::size_t needed = receiver.BytesToFrameEnd();
            EXPECT_GE(needed, 1u) << at;
            EXPECT_LE(needed, left) << at;
            if (at >= kPreamble.size() + 3) { // command and length read
                EXPECT_EQ(needed, left) << at;
            }
            // Counting in the least data never asks for more than is coming,
            // and from the preamble on (but for a half-read length) is exact.
            const std::size_t withLeast = receiver.BytesToFrameEnd(c.least);
            EXPECT_LE(withLeast, left) << at;
            if (c.least == c.frame.size() - kFrameOverhead && at >= kPreamble.size() &&
                at != kPreamble.size() + 2) {
                EXPECT_EQ(withLeast, left) << at;
            }
            receiver.Feed(c.frame[at]);
        }
        EXPECT_EQ(receiver.BytesToFrameEnd(), 1u) << "resting";
    }
    TLinkReceiver fresh;
    EXPECT_EQ(fresh.BytesToFrameEnd(), kFrameOverhead);
}

TEST(LinkReceiver, CountsAnOverlongFrameToItsEndButStoresOnly512Bytes)
{
    for (std::size_t length : {512u, 513u, 600u, 65535u}) {
        SCOPED_TRACE(length);
        std::vector<std::uint8_t> data(length);
        for (std::size_t i = 0; i < length; ++i)
            data[i] = std::uint8_t(i * 7 + i / 256);
        const auto frame = EncodeLinkFrame('P', 0x4100, data);

        TLinkReceiver receiver;
        const auto results = FeedAll(receiver, frame);
        EXPECT_EQ(EndingByte(results), int(frame.size()) - 1);
        EXPECT_EQ(results.back(), TResult::FrameGood);
        EXPECT_EQ(receiver.RxLength, std::int32_t(length));
        EXPECT_EQ(receiver.RxDataCount, std::int32_t(length));
        EXPECT_TRUE(std::equal(receiver.RxData.begin(), receiver.RxData.end(), data.begin()));
        EXPECT_EQ(receiver.DataText(), std::string(data.begin(), data.begin() + 512));
        EXPECT_EQ(receiver.DataByte(513), 0);
    }
}

} // namespace
