#pragma once

// Byte strings written as hex in the tests, as the protocol's examples give them.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

// "24 41 50" -> {0x24, 0x41, 0x50}; blanks between bytes are optional.
inline Bytes Hex(std::string_view text)
{
    Bytes bytes;
    std::string digits;
    for (char c : text) {
        if (c == ' ')
            continue;
        digits += c;
        if (digits.size() == 2) {
            bytes.push_back(static_cast<std::uint8_t>(std::stoul(digits, nullptr, 16)));
            digits.clear();
        }
    }
    return bytes;
}

inline Bytes Text(std::string_view text)
{
    return {text.begin(), text.end()};
}

inline Bytes Join(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
