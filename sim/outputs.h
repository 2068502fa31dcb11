#pragma once

// The files the simulator leaves behind: the flash as an image, and the
// parameter lines it was sent.

#include "controller.h"

#include <filesystem>

namespace sim {

// Writes the flash from FlashStart up to FlashEnd, one byte per address; throws
// std::runtime_error naming the file when it cannot be written.
void WriteFlashImage(const std::filesystem::path& path, const Controller& controller);

// Writes each parameter line received, ended by LF; throws as above.
void WriteParameterLines(const std::filesystem::path& path, const Controller& controller);

} // namespace sim
