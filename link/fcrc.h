#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

// CRC-16/MCRF4XX: reflected polynomial 0x8408, initial 0xFFFF, no final XOR.
// Folding an intact frame including its two CRC bytes (low first) gives 0.
inline constexpr std::uint16_t kCrcInitial = 0xFFFF;

void CrcUpdate(std::uint16_t& crc, std::uint8_t b);

// The CRC of a whole buffer, started at kCrcInitial.
std::uint16_t CrcOf(std::span<const std::uint8_t> bytes);
