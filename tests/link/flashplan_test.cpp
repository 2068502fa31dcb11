// The walk over the flash, the blank-block test and the gauge, without a port.

#include "flashplan.h"
#include "hex.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr std::uint64_t kInt32Max = std::numeric_limits<std::int32_t>::max();

std::string Describe(const TFlashGeometry& g)
{
    std::ostringstream text;
    text << std::hex << "FlashStart 0x" << g.FlashStart << " FlashEnd 0x" << g.FlashEnd << " BlockSize 0x"
         << g.BlockSize;
    return text.str();
}

// The walk done the slow way, block by block, to hold the arithmetic against.
struct TWalked {
    std::uint64_t Blocks = 0;
    std::uint64_t Covered = 0;
};

TWalked WalkBlockByBlock(const TFlashGeometry& g)
{
    TWalked walked;
    for (std::uint64_t address = g.FlashStart; address < g.FlashEnd;
         address = NextBlockAddress(address, g.BlockSize)) {
        ++walked.Blocks;
        walked.Covered = address + g.BlockSize - g.FlashStart;
    }
    return walked;
}

TEST(FlashWalk, StepsOneBlockAndJumpsTheWindowOnlyOnAnExactLanding)
{
    struct TCase {
        std::uint64_t Address;
        std::uint16_t BlockSize;
        std::uint64_t Next;
    };
    const TCase cases[] = {
        {0x4000, 0x100, 0x4100},
        {0xEFC00, 0x400, 0xFC000},         // lands on the window's start
        {0xEFF00, 0x100, 0xFC000},
        {0xEFE00, 0x400, 0xF0200},         // passes the window's start: not moved
        {0xF0000, 0x400, 0xF0400},         // starting inside the window is no landing
        {0xFBC00, 0x400, 0xFC000},         // reaching the window's end by stepping
        {0xFFFFFFFF, 0xFFFF, 0x10000FFFE}, // no wrap at the top of the 32-bit range
        {0xEFC00, 0, 0xEFC00},             // no step, no landing
        {0xF0000, 0, 0xF0000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << "address 0x" << c.Address << " size 0x" << c.BlockSize);
        EXPECT_EQ(NextBlockAddress(c.Address, c.BlockSize), c.Next);
    }
}

TEST(FlashWalk, CountsTheBlocksExaminedAndTheBytesTheyCover)
{
    struct TCase {
        const char* What;
        TFlashGeometry Geometry;
        std::uint64_t Blocks;
        std::uint64_t Covered;
    };
    const TCase cases[] = {
        {"the sample controller", {0x4000, 0x80000, 256}, 1984, 0x7C000},
        {"across the window", {0xE0000, 0x100000, 0x400}, 64 + 16, 0x20000},
        {"FlashEnd equal to FlashStart", {0x4000, 0x4000, 256}, 0, 0},
        {"FlashEnd below FlashStart", {0x80000, 0x4000, 256}, 0, 0},
        {"a last block reaching past FlashEnd", {0x4000, 0x4250, 0x100}, 3, 0x300},
        {"one byte to program", {0x4000, 0x4001, 0x100}, 1, 0x100},
        {"FlashStart 0", {0, 0x100, 0x40}, 4, 0x100},
        {"the whole 32-bit range in single bytes", {0, 0xFFFFFFFF, 1}, 0xFFFFFFFFull - 0xC000, 0xFFFFFFFF},
        {"a last block reaching past 4 GiB", {0xFFFF0000, 0xFFFFFFFF, 0x8000}, 2, 0x10000},
        {"the largest block at the top", {0xFFFFFF00, 0xFFFFFFFF, 0xFFFF}, 1, 0xFFFF},
        {"FlashStart on the window's start", {0xF0000, 0xF1000, 0x400}, 4, 0x1000},
        {"passing the window's start", {0xE0100, 0x100000, 0x400}, 128, 0x20000},
        {"passing it in one block", {0xEFF00, 0xF0400, 0x300}, 2, 0x600},
        {"FlashEnd on the last block before the window", {0xE0000, 0xEFC00, 0x400}, 63, 0xFC00},
        {"FlashEnd on the window's start", {0xE0000, 0xF0000, 0x400}, 64, 0x10000},
        {"FlashEnd just past the window's start", {0xE0000, 0xF0001, 0x400}, 64, 0x10000},
        {"FlashEnd inside the window", {0xE0000, 0xF8000, 0x400}, 64, 0x10000},
        {"FlashEnd on the window's end", {0xE0000, 0xFC000, 0x400}, 64, 0x10000},
        {"FlashEnd one byte past the window", {0xE0000, 0xFC001, 0x400}, 65, 0x1C400},
        {"the last block before the window first", {0xEFC00, 0xFD000, 0x400}, 5, 0xD400},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.What << ": " << Describe(c.Geometry));
        EXPECT_EQ(BlockCount(c.Geometry), c.Blocks);
        EXPECT_EQ(CoveredLength(c.Geometry), c.Covered);
    }
}

TEST(FlashWalk, ComputedCountsMatchAWalkBlockByBlockAroundTheWindow)
{
    // Fixed seed: the same geometries on every run, many of them on or near the
    // window's edges where an off-by-one would hide.
    std::mt19937 random(740);
    const std::uint16_t sizes[] = {1, 2, 3, 0x40, 0x100, 0x3FF, 0x400, 0x401, 0x1000, 0x4000, 0x5000, 0xFFFF};
    const std::uint32_t anchors[] = {0xE0000, 0xEFC00, 0xF0000, 0xFBC00, 0xFC000, 0x100000};
    auto near = [&](std::uint32_t anchor, std::uint32_t spread) {
        return anchor - spread + std::uniform_int_distribution<std::uint32_t>(0, 2 * spread)(random);
    };
    int checked = 0;
    for (const auto size : sizes) {
        // Small blocks walk a narrow range only, so that the slow walk stays short.
        const std::uint32_t spread = std::min<std::uint32_t>(std::uint32_t(size) * 64, 0x20000);
        for (int i = 0; i < 300; ++i) {
            TFlashGeometry g;
            g.BlockSize = size;
            g.FlashStart = near(anchors[random() % std::size(anchors)], spread);
            if (i % 3 == 0) { // a start that lands on the window exactly, when the walk gets there
                const auto most = std::min<std::uint32_t>(40, kSkippedWindowStart / size);
                const auto blocks = std::uniform_int_distribution<std::uint32_t>(1, most)(random);
                g.FlashStart = kSkippedWindowStart - size * blocks;
            }
            g.FlashEnd = near(anchors[random() % std::size(anchors)], spread);
            if (i % 5 == 0) { // a FlashEnd on a block's edge next to the window
                const auto blocks = std::uniform_int_distribution<std::uint32_t>(0, 2)(random);
                g.FlashEnd = (i % 2 ? kSkippedWindowStart - size * blocks : kSkippedWindowEnd + size * blocks);
            }
            const auto walked = WalkBlockByBlock(g);
            ASSERT_EQ(BlockCount(g), walked.Blocks) << Describe(g);
            ASSERT_EQ(CoveredLength(g), walked.Covered) << Describe(g);
            if (walked.Blocks > 0) {
                ASSERT_LT(walked.Covered, std::uint64_t(g.FlashEnd) - g.FlashStart + size)
                    << "covers a whole block too many: " << Describe(g);
                ++checked;
            }
        }
    }
    EXPECT_GT(checked, 1000) << "too few geometries examined any block";
}

TEST(FlashBlock, ReadsPastTheImageEndAsBlank)
{
    struct TCase {
        const char* Image;
        std::uint64_t Offset;
        std::uint16_t Size;
        bool Blank;
        const char* Bytes;
    };
    const TCase cases[] = {
        {"FF FF FF 00 FF FF FF FF", 0, 3, true, "FF FF FF"},
        {"FF FF FF 00 FF FF FF FF", 0, 4, false, "FF FF FF 00"},
        {"FF FF FF 00 FF FF FF FF", 3, 1, false, "00"},
        {"FF FF FF 00 FF FF FF FF", 4, 4, true, "FF FF FF FF"}, // ends at the image's end
        {"FF FF FF 00 FF FF FF FF", 6, 4, true, "FF FF FF FF"}, // partly past it, blank inside
        {"FF FF 12", 2, 4, false, "12 FF FF FF"},               // partly past it, padded
        {"FF FF 12", 0, 2, true, "FF FF"},
        {"FF FF 12", 3, 4, true, "FF FF FF FF"},                // starts at the image's end
        {"00 00", 100, 2, true, "FF FF"},                       // wholly past it
        {"00 00", 0xFFFFFFFFFFFFull, 2, true, "FF FF"},
        {"00 00", 0, 0, true, ""},
        {"", 0, 3, true, "FF FF FF"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "image \"" << c.Image << "\" offset " << c.Offset << " size " << c.Size);
        const auto image = Hex(c.Image);
        EXPECT_EQ(IsBlankBlock(image, c.Offset, c.Size), c.Blank);
        EXPECT_EQ(BlockBytes(image, c.Offset, c.Size), Hex(c.Bytes));
    }
}

// The frames an upload will send, counted before the first: what the time left
// is reckoned from.
TEST(FlashBlock, CountsTheBlocksToSendAsTheWalkSendsThem)
{
    struct TCase {
        const char* What;
        TFlashGeometry Geometry;
        const char* Image;
        std::uint64_t Blocks;
    };
    const TCase cases[] = {
        {"blank blocks left out", {0x4000, 0x4008, 2}, "00 01 FF FF FF 02 FF FF", 2},
        {"a last block partly in the image", {0x4000, 0x4008, 4}, "FF FF FF FF FF 12", 1},
        {"an image longer than the range", {0x4000, 0x4004, 2}, "00 00 00 00 00 00", 2},
        {"a range longer than the image", {0x4000, 0x100000, 2}, "00 00 FF FF", 1},
        {"no image", {0x4000, 0x4008, 2}, "", 0},
        {"no block size", {0x4000, 0x4008, 0}, "00 00", 0},
        // The window's bytes are in the image, but the walk steps over them.
        {"the window stepped over", {kSkippedWindowStart - 2, kSkippedWindowEnd + 2, 2}, "00 00 00 00", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        EXPECT_EQ(BlocksToSend(c.Geometry, Hex(c.Image)), c.Blocks);
    }
    // The window case again with an image that reaches past the window: its
    // bytes after the window's end are sent from the window's end on.
    Bytes image(kSkippedWindowEnd - kSkippedWindowStart + 2, 0x00);
    EXPECT_EQ(BlocksToSend({kSkippedWindowStart - 2, kSkippedWindowEnd + 4, 2}, image), 1u)
        << "one block before the window; the image ends before the window's end is reached";
    image.resize(image.size() + 4, 0x00);
    EXPECT_EQ(BlocksToSend({kSkippedWindowStart - 2, kSkippedWindowEnd + 4, 2}, image), 3u);
}

TEST(FlashBlock, FindsTheOneNonBlankByteAnywhereInALargeBlock)
{
    Bytes image(0x20000, kBlankByte);
    for (std::size_t position : {std::size_t(0), std::size_t(1), std::size_t(0xFFFE), std::size_t(0xFFFF)}) {
        SCOPED_TRACE(position);
        image[position] = 0xFE;
        EXPECT_EQ(IsBlankBlock(image, 0, 0xFFFF), position == 0xFFFF);
        EXPECT_TRUE(IsBlankBlock(image, 0x10000, 0xFFFF));
        image[position] = kBlankByte;
    }
}

TEST(FlashGauge, SpreadsTheWalkOverAtMostInt32MaxSteps)
{
    struct TCase {
        std::uint64_t Blocks;
        std::int32_t MaxValue;
        std::uint64_t BlocksPerStep;
    };
    const TCase cases[] = {
        {0, 1, 1},
        {1, 1, 1},
        {1984, 1984, 1},
        {kInt32Max, std::int32_t(kInt32Max), 1},
        {kInt32Max + 1, 1 << 30, 2},
        {0xFFFF3FFF, 2147459072, 2}, // the whole 32-bit range in single bytes
        {3 * kInt32Max + 1, std::int32_t((3 * kInt32Max + 1 + 3) / 4), 4},
        {std::numeric_limits<std::uint64_t>::max(), std::int32_t(kInt32Max),
         std::numeric_limits<std::uint64_t>::max() / kInt32Max + 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Blocks);
        const auto gauge = GaugeFor(c.Blocks);
        EXPECT_EQ(gauge.MaxValue, c.MaxValue);
        EXPECT_EQ(gauge.BlocksPerStep, c.BlocksPerStep);
    }
}

TEST(FlashGauge, RisesWithTheWalkAndIsFullAtItsLastBlock)
{
    const std::uint64_t counts[] = {1, 2, 256, 1984, kInt32Max, kInt32Max + 1, kInt32Max + 2, 0xFFFF3FFF,
                                    3 * kInt32Max + 1, std::numeric_limits<std::uint64_t>::max() - 5};
    for (const auto count : counts) {
        SCOPED_TRACE(count);
        const auto gauge = GaugeFor(count);
        const auto step = gauge.BlocksPerStep;
        // Points where a rounding fault would show: the first blocks, each side of
        // a step, and the last step of the walk.
        std::vector<std::uint64_t> points = {0, 1, 2, step - 1, step, step + 1, 2 * step};
        for (std::uint64_t back : {std::uint64_t(0), std::uint64_t(1), step - 1, step, step + 1, 2 * step})
            if (back <= count)
                points.push_back(count - back);
        std::sort(points.begin(), points.end());
        std::int32_t previous = 0;
        for (const auto examined : points) {
            if (examined > count)
                continue;
            const auto progress = GaugeProgress(gauge, examined);
            ASSERT_GE(progress, previous) << "moved backwards at " << examined;
            ASSERT_LE(progress, gauge.MaxValue) << "past full at " << examined;
            if (examined > 0 && examined < count) {
                ASSERT_GE(progress, 1) << "no sign of life at " << examined;
            }
            if (count - examined >= step) {
                ASSERT_LT(progress, gauge.MaxValue) << "full a whole step early at " << examined;
            }
            previous = progress;
        }
        EXPECT_EQ(GaugeProgress(gauge, 0), 0);
        EXPECT_EQ(GaugeProgress(gauge, count), gauge.MaxValue);
        // Examined past the count (a caller's extra call) stays full, not beyond.
        EXPECT_EQ(GaugeProgress(gauge, count + 1), gauge.MaxValue);
        EXPECT_EQ(GaugeProgress(gauge, std::numeric_limits<std::uint64_t>::max()), gauge.MaxValue);
    }
}

TEST(FlashGauge, MovesOneStepPerBlockForASmallWalk)
{
    const auto gauge = GaugeFor(300);
    for (std::uint64_t examined = 0; examined <= 300; ++examined)
        ASSERT_EQ(GaugeProgress(gauge, examined), std::int32_t(examined));
}

TEST(FlashGauge, AnEmptyWalkLeavesTheNeedleForTheCallerToFill)
{
    const auto gauge = GaugeFor(0);
    EXPECT_EQ(gauge.MaxValue, 1);
    EXPECT_EQ(GaugeProgress(gauge, 0), 0);
}

} // namespace
