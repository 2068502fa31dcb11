#pragma once

#include <filesystem>
#include <string>

// A fresh folder under the system's temporary folder, removed with its contents.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::filesystem::path& Path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }
    void WriteFile(const std::string& name, const std::string& content) const;
    std::string ReadFile(const std::string& name) const;

private:
    std::filesystem::path path_;
};
