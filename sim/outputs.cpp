#include "outputs.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace sim {

namespace {

void WriteWhole(const std::filesystem::path& path, const char* data, std::size_t size)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data, std::streamsize(size));
    out.close();
    if (!out)
        throw std::runtime_error("cannot write " + path.string() + ": " + std::strerror(errno));
}

} // namespace

void WriteFlashImage(const std::filesystem::path& path, const Controller& controller)
{
    const auto& flash = controller.Flash();
    WriteWhole(path, reinterpret_cast<const char*>(flash.data()), flash.size());
}

void WriteParameterLines(const std::filesystem::path& path, const Controller& controller)
{
    std::string text;
    for (const std::string& line : controller.ParameterLines())
        text += line + "\n";
    WriteWhole(path, text.data(), text.size());
}

void WriteTurnarounds(const std::filesystem::path& path, const std::vector<double>& turnarounds)
{
    std::string text;
    char line[32];
    for (const double seconds : turnarounds) {
        std::snprintf(line, sizeof line, "%.9f\n", seconds);
        text += line;
    }
    WriteWhole(path, text.data(), text.size());
}

} // namespace sim
