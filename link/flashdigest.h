#pragma once

// The digest of what an upload leaves in the flash, so that one firmware compares
// equal whatever file it came in: a raw image padded to the flash's size, a HEX
// file that stops at its last record, an S-record file with gaps.

#include <QString>

#include <cstdint>
#include <span>

// SHA-256, as hex, of `image` (the flash's bytes from FlashStart, as read raw or
// as MapOntoFlash lays them out) up to its last byte that is not 0xFF. Writing
// 0xFF leaves a byte as erasing left it, and a block of nothing else is not sent,
// so trailing 0xFF bytes are no part of what was programmed. An image of nothing
// but 0xFF gives the digest of no bytes.
QString FlashSha256(std::span<const std::uint8_t> image);
