#pragma once

// A raw pseudo-terminal pair with a symlink to its slave, standing in for a
// serial device: the code under test opens the link path, the test talks to the
// master side.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

class PtyPair {
public:
    // Makes `link` a symlink to the new slave device.
    explicit PtyPair(std::filesystem::path link);
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    const std::filesystem::path& Link() const { return link_; }
    const std::string& SlaveName() const { return slaveName_; }
    int MasterFd() const { return master_; }

    void Write(const std::vector<std::uint8_t>& bytes);
    // Reads until `count` bytes have arrived or the deadline passes.
    std::vector<std::uint8_t> Read(std::size_t count,
                                   std::chrono::milliseconds deadline = std::chrono::seconds(5));
    // Reads whatever arrives until the line has been quiet for `quiet`.
    std::vector<std::uint8_t> Drain(std::chrono::milliseconds quiet = std::chrono::milliseconds(200));
    // The slave's line speed in bit/s, as the master side sees it.
    unsigned SlaveSpeed() const;

    // Closes the master, as an unplugged adapter would: the slave side hangs up.
    void HangUp();
    // Closes the fixture's own hold on the slave, so that only the code under test
    // has it open.
    void ReleaseSlave();

private:
    std::filesystem::path link_;
    std::string slaveName_;
    int master_ = -1;
    int slave_ = -1;
};
