#include "scratch_dir.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

ScratchDir::ScratchDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "qr740-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

ScratchDir::~ScratchDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void ScratchDir::WriteFile(const std::string& name, const std::string& content) const
{
    std::ofstream out(path_ / name, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out)
        throw std::runtime_error("cannot write " + (path_ / name).string());
}

std::string ScratchDir::ReadFile(const std::string& name) const
{
    std::ifstream in(path_ / name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
