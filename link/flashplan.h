#pragma once

// The walk over the controller's flash during an upload, as functions of the
// geometry the loader reports and of the image: which blocks are examined, which
// of them are blank, what a block holds on the wire, and what the needle shows.
// No port and no file here, so every rule can be checked case by case.
//
// Addresses are the wire's unsigned 32-bit values; the walk itself runs in 64
// bits, so a block at the top of the address range never wraps round.

#include <cstdint>
#include <span>
#include <vector>

// The window of the flash that is never programmed: a walk that lands exactly on
// its start continues at its end.
inline constexpr std::uint32_t kSkippedWindowStart = 0xF0000;
inline constexpr std::uint32_t kSkippedWindowEnd = 0xFC000;

// What erased flash holds; a block of nothing else is never sent.
inline constexpr std::uint8_t kBlankByte = 0xFF;

struct TFlashGeometry {
    std::uint32_t FlashStart = 0;
    std::uint32_t FlashEnd = 0;  // first address past the range
    std::uint16_t BlockSize = 0; // bytes per 'P' frame
};

// The address examined after the block at `address`: one block further on, or
// the window's end when that lands exactly on the window's start. A block size of
// 0 does not move.
std::uint64_t NextBlockAddress(std::uint64_t address, std::uint16_t blockSize);

// How many blocks an upload examines, from FlashStart while the address is below
// FlashEnd: 0 when FlashEnd is not above FlashStart. Computed, not walked, so that
// a range of gigabytes costs nothing. BlockSize must not be 0 (a walk that never
// moves has no count); it gives 0 rather than dividing by it.
std::uint64_t BlockCount(const TFlashGeometry& geometry);

// How many bytes from FlashStart on the walk can read: up to the end of the last
// block examined, which may reach past FlashEnd by less than one block. 0 when no
// block is examined. BlockSize must not be 0; it gives 0.
std::uint64_t CoveredLength(const TFlashGeometry& geometry);

// Whether the walk steps over the window from kSkippedWindowStart to
// kSkippedWindowEnd, leaving it unwritten. BlockSize must not be 0; it gives false.
bool StepsOverWindow(const TFlashGeometry& geometry);

// Whether the block of `size` bytes at `offset` of the image holds only 0xFF.
// Bytes past the image's end count as 0xFF.
bool IsBlankBlock(std::span<const std::uint8_t> image, std::uint64_t offset, std::uint16_t size);

// How many blocks of the walk hold something other than 0xFF: the 'P' frames an
// upload of `image` sends, known before the first is sent. Walks the image's part
// of the range only; everything past it is blank.
std::uint64_t BlocksToSend(const TFlashGeometry& geometry, std::span<const std::uint8_t> image);

// The `size` bytes of the block at `offset`, padded with 0xFF past the image's end.
std::vector<std::uint8_t> BlockBytes(std::span<const std::uint8_t> image, std::uint64_t offset,
                                     std::uint16_t size);

// The needle during programming. The gauge holds 32-bit values, and an upload may
// examine more blocks than that; each step of the gauge then stands for several
// blocks. The needle never moves backwards, never passes MaxValue, and is full
// once the last block has been examined. When a step stands for several blocks,
// the last step begins with its first block, so the needle may be full up to
// BlocksPerStep - 1 blocks before the end.
struct TBlockGauge {
    std::int32_t MaxValue = 1; // at least 1, so that an empty walk can show 100%
    std::uint64_t BlocksPerStep = 1;
};
TBlockGauge GaugeFor(std::uint64_t blockCount);
// The gauge's Progress once `examined` blocks of the walk have been examined. A
// walk of no block never moves it: the caller fills it when the walk ends.
std::int32_t GaugeProgress(const TBlockGauge& gauge, std::uint64_t examined);
