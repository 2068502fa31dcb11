#include "flashplan.h"

#include <algorithm>
#include <limits>

namespace {

constexpr std::uint64_t CeilDiv(std::uint64_t n, std::uint64_t d)
{
    return n / d + (n % d != 0 ? 1 : 0);
}

// The blocks examined from `start` while the address is below `end`, with no
// window in the way.
constexpr std::uint64_t PlainBlocks(std::uint64_t start, std::uint64_t end, std::uint64_t blockSize)
{
    return end > start ? CeilDiv(end - start, blockSize) : 0;
}

// Whether the walk lands exactly on the window's start. Only a step lands there:
// a walk that starts at the window's start examines it like any other address.
// The step is taken only after the block before the window has been examined, so
// that block has to start below FlashEnd.
bool LandsOnWindow(const TFlashGeometry& g)
{
    if (g.BlockSize == 0)
        return false;
    const std::uint64_t start = g.FlashStart;
    if (start >= kSkippedWindowStart || (kSkippedWindowStart - start) % g.BlockSize != 0)
        return false;
    return kSkippedWindowStart - g.BlockSize < std::uint64_t(g.FlashEnd);
}

struct TWalk {
    std::uint64_t Blocks = 0;
    std::uint64_t Covered = 0;
};

TWalk Walk(const TFlashGeometry& g)
{
    if (g.BlockSize == 0)
        return {};
    const std::uint64_t start = g.FlashStart;
    const std::uint64_t end = g.FlashEnd;
    const std::uint64_t size = g.BlockSize;
    if (!LandsOnWindow(g)) {
        const auto blocks = PlainBlocks(start, end, size);
        return {blocks, blocks * size};
    }
    const auto before = (kSkippedWindowStart - start) / size;
    const auto after = PlainBlocks(kSkippedWindowEnd, end, size);
    if (after == 0)
        return {before, before * size};
    return {before + after, (kSkippedWindowEnd - start) + after * size};
}

// The part of the block at `offset` that lies inside the image; empty when the
// block starts at or past the image's end.
std::span<const std::uint8_t> InImagePart(std::span<const std::uint8_t> image, std::uint64_t offset,
                                          std::uint16_t size)
{
    if (offset >= image.size())
        return {};
    const auto available = image.size() - offset;
    return image.subspan(offset, std::min<std::uint64_t>(size, available));
}

} // namespace

std::uint64_t NextBlockAddress(std::uint64_t address, std::uint16_t blockSize)
{
    // With no step there is no landing either: the walk stays where it is.
    if (blockSize == 0)
        return address;
    const auto next = address + blockSize;
    return next == kSkippedWindowStart ? kSkippedWindowEnd : next;
}

std::uint64_t BlockCount(const TFlashGeometry& geometry)
{
    return Walk(geometry).Blocks;
}

bool StepsOverWindow(const TFlashGeometry& geometry)
{
    return LandsOnWindow(geometry);
}

std::uint64_t CoveredLength(const TFlashGeometry& geometry)
{
    return Walk(geometry).Covered;
}

bool IsBlankBlock(std::span<const std::uint8_t> image, std::uint64_t offset, std::uint16_t size)
{
    const auto part = InImagePart(image, offset, size);
    return std::all_of(part.begin(), part.end(), [](std::uint8_t b) { return b == kBlankByte; });
}

std::vector<std::uint8_t> BlockBytes(std::span<const std::uint8_t> image, std::uint64_t offset,
                                     std::uint16_t size)
{
    std::vector<std::uint8_t> bytes(size, kBlankByte);
    const auto part = InImagePart(image, offset, size);
    std::copy(part.begin(), part.end(), bytes.begin());
    return bytes;
}

TBlockGauge GaugeFor(std::uint64_t blockCount)
{
    constexpr std::uint64_t kLargest = std::numeric_limits<std::int32_t>::max();
    if (blockCount <= kLargest)
        return {std::int32_t(std::max<std::uint64_t>(blockCount, 1)), 1};
    const auto perStep = CeilDiv(blockCount, kLargest);
    return {std::int32_t(CeilDiv(blockCount, perStep)), perStep};
}

std::int32_t GaugeProgress(const TBlockGauge& gauge, std::uint64_t examined)
{
    // A default or hand-made gauge may carry 0 here; one block per step is the
    // only reading that still moves the needle.
    const auto perStep = std::max<std::uint64_t>(gauge.BlocksPerStep, 1);
    const auto steps = CeilDiv(examined, perStep);
    return std::int32_t(std::min<std::uint64_t>(steps, std::uint64_t(std::max(gauge.MaxValue, 0))));
}

std::uint64_t BlocksToSend(const TFlashGeometry& geometry, std::span<const std::uint8_t> image)
{
    if (geometry.BlockSize == 0)
        return 0;
    std::uint64_t blocks = 0;
    for (std::uint64_t address = geometry.FlashStart;
         address < geometry.FlashEnd && address - geometry.FlashStart < image.size();
         address = NextBlockAddress(address, geometry.BlockSize)) {
        if (!IsBlankBlock(image, address - geometry.FlashStart, geometry.BlockSize))
            ++blocks;
    }
    return blocks;
}
