#pragma once

// What the session's own sources share (loadersession.cpp, upload.cpp,
// parameters.cpp): the command letters and small helpers. Not for front ends.

#include <QString>

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

namespace session_detail {

inline constexpr std::uint8_t kVersionCommand = 'V';
inline constexpr std::uint8_t kEraseCommand = 'E';
inline constexpr std::uint8_t kProgramCommand = 'P';
inline constexpr std::uint8_t kRestartCommand = 'S';
inline constexpr std::string_view kBootRomAnswer = "APL";
inline constexpr std::string_view kParameterModeCommand = "ATCODE=1";

inline QString Latin1(const std::string& bytes)
{
    return QString::fromLatin1(bytes.data(), qsizetype(bytes.size()));
}

// What a port failure says, for the operator.
inline QString PortErrorText(const std::exception& error)
{
    return QString::fromLocal8Bit(error.what());
}

} // namespace session_detail
