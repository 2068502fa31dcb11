#pragma once

// The files the simulator leaves behind: the flash as an image, and the
// parameter lines it was sent.

#include "controller.h"

#include <filesystem>
#include <vector>

namespace sim {

// Writes the flash from FlashStart up to FlashEnd, one byte per address; throws
// std::runtime_error naming the file when it cannot be written.
void WriteFlashImage(const std::filesystem::path& path, const Controller& controller);

// Writes each parameter line received, ended by LF; throws as above.
void WriteParameterLines(const std::filesystem::path& path, const Controller& controller);

// Writes each turnaround in seconds, one a line; throws as above.
void WriteTurnarounds(const std::filesystem::path& path, const std::vector<double>& turnarounds);

} // namespace sim
