#pragma once

// The programmer's end of the simulated line, in plain raw-terminal code: opens
// the link path as a serial device and talks to the simulator through it.

#include "bytes.h"
#include "frame.h"

#include <chrono>
#include <filesystem>
#include <optional>

class ProgrammerEnd {
public:
    // Opens the device raw, 8N1, at `baud`.
    explicit ProgrammerEnd(const std::filesystem::path& device, unsigned baud = 9600);
    ~ProgrammerEnd();
    ProgrammerEnd(const ProgrammerEnd&) = delete;
    ProgrammerEnd& operator=(const ProgrammerEnd&) = delete;

    void Open(unsigned baud);
    void Close();
    void SetSpeed(unsigned baud);

    void Write(const Bytes& bytes);
    // Reads until `count` bytes have arrived or the deadline passes.
    Bytes Read(std::size_t count, std::chrono::milliseconds deadline = std::chrono::seconds(5));
    // Reads whatever arrives until the line has been quiet for `quiet`.
    Bytes Drain(std::chrono::milliseconds quiet = std::chrono::milliseconds(200));

    struct Frame {
        TLinkReceiver::TResult result;
        std::uint8_t command;
        std::uint32_t address;
        Bytes data;
    };
    // Reads one frame with the project's receiver; nothing if none ends in time.
    std::optional<Frame> ReadFrame(std::chrono::milliseconds deadline = std::chrono::seconds(5));

    // Waits until the other end has gone (reads report the hang-up).
    bool WaitForHangUp(std::chrono::milliseconds deadline = std::chrono::seconds(5));

private:
    std::filesystem::path device_;
    int fd_ = -1;
};
