#include "fcrc.h"

#include <array>

namespace {

constexpr std::array<std::uint16_t, 256> MakeCrcTable()
{
    std::array<std::uint16_t, 256> table{};
    for (unsigned i = 0; i < table.size(); ++i) {
        unsigned reg = i;
        for (int bit = 0; bit < 8; ++bit)
            reg = (reg & 1u) ? (reg >> 1) ^ 0x8408u : reg >> 1;
        table[i] = static_cast<std::uint16_t>(reg);
    }
    return table;
}

// Built by the compiler, so the table is read-only data like a written-out one.
constexpr std::array<std::uint16_t, 256> kCrcTable = MakeCrcTable();
static_assert(kCrcTable[0x01] == 0x1189 && kCrcTable[0x80] == 0x8408 && kCrcTable[0xFF] == 0x0F78,
              "not the standard CRC-16/MCRF4XX table");

constexpr std::uint16_t Folded(std::uint16_t crc, std::uint8_t b)
{
    return static_cast<std::uint16_t>(kCrcTable[(crc ^ b) & 0xFFu] ^ (crc >> 8));
}

constexpr std::uint16_t CheckValue()
{
    std::uint16_t crc = kCrcInitial;
    for (char digit : {'1', '2', '3', '4', '5', '6', '7', '8', '9'})
        crc = Folded(crc, static_cast<std::uint8_t>(digit));
    return crc;
}
static_assert(CheckValue() == 0x6F91, "the table does not give the CRC's check value");

} // namespace

void CrcUpdate(std::uint16_t& crc, std::uint8_t b)
{
    crc = Folded(crc, b);
}

std::uint16_t CrcOf(std::span<const std::uint8_t> bytes)
{
    std::uint16_t crc = kCrcInitial;
    for (std::uint8_t b : bytes)
        CrcUpdate(crc, b);
    return crc;
}
