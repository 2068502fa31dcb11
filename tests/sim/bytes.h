#pragma once

// Byte strings for the simulator's tests, written as the protocol's examples are.

#include "fcrc.h"
#include "hex.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The bytes that carry a loader to the boot ROM: length, the file, CRC.
inline Bytes LoaderUpload(const Bytes& file)
{
    Bytes upload = {std::uint8_t(file.size()), std::uint8_t(file.size() >> 8)};
    upload.insert(upload.end(), file.begin(), file.end());
    const std::uint16_t crc = CrcOf(upload);
    upload.push_back(std::uint8_t(crc));
    upload.push_back(std::uint8_t(crc >> 8));
    return upload;
}
