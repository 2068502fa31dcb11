#pragma once

// What the simulated controller is told on its command line.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace sim {

// A point of the conversation after which the controller may be told to fall silent.
enum class Step : std::uint8_t {
    Handshake,      // "APL" has been received
    Identification, // the identification text and its ACK have gone out
    Loader,         // the loader's version frame has gone out
    Version,        // the reply to 'V' has gone out
    Erase,          // the reply to 'E' has gone out
    Block,          // the reply to the Nth 'P' has gone out
    Restart,        // the reply to 'S' has gone out
};

struct SilentPoint {
    Step step = Step::Handshake;
    int block = 0; // for Step::Block: which 'P' frame, counted from 1
    bool operator<(const SilentPoint& o) const
    {
        return step != o.step ? step < o.step : block < o.block;
    }
};

struct Faults {
    bool nakErase = false;
    std::set<int> nakBlocks;          // 'P' frames, counted from 1, answered with NAK
    std::set<SilentPoint> silentAfter;
    std::set<char> badCrc;            // replies ('V', 'E', 'P', 'S', or 'L' for the loader's frame)
    std::set<int> hangupAfterBlock;   // the master is closed after the first of these
    bool atSilent = false;
    bool atError = false;

    bool SilentAfter(Step step, int block = 0) const { return silentAfter.count({step, block}) != 0; }
};

inline constexpr std::chrono::milliseconds kDefaultQuietPeriod{5000};

struct Options {
    std::filesystem::path link;
    std::string id = "QR740";
    std::string loaderVersion = "LDR 1.00";
    std::uint32_t flashStart = 0x4000;
    std::uint32_t flashEnd = 0x8000;
    std::uint16_t blockSize = 256;
    std::uint16_t fwVersion = 300; // hundredths: 3.00
    Faults faults;
    bool pace = false;
    std::filesystem::path flashOut;
    std::filesystem::path paramsOut;
    // On exit, the programmer's turnarounds in seconds, one a line: from the
    // last byte of each reply the loader sent to the first byte of what the
    // programmer sent next.
    std::filesystem::path turnaroundOut;
    bool once = false;
    // When set, each session draws its fault (or none) from RandomFaults()
    // with a generator seeded so, instead of the --fault ones.
    std::optional<std::uint32_t> randomFaultSeed;
    // How long the line must stay quiet before a session counts as over. Longer
    // than the programmer's own pauses (1 s and 2 s) so that they never end one.
    std::chrono::milliseconds quietPeriod = kDefaultQuietPeriod;
};

struct ParseResult {
    std::optional<Options> options; // empty when the program should not run
    bool help = false;              // --help was given
    std::string error;              // what was wrong with the command line
};

ParseResult ParseArguments(const std::vector<std::string>& args);

// The text of --help, listing every option.
std::string Usage();

// A number in decimal or, after "0x" or "0X", hexadecimal; nothing else around it.
std::optional<std::uint64_t> ParseNumber(const std::string& text);

// Reads one --fault value into `faults`; false if the name or its argument is unknown.
bool AddFault(Faults& faults, const std::string& text);

// What --random-faults draws from, one --fault value each; "" is no fault.
const std::vector<std::string>& RandomFaults();

} // namespace sim
