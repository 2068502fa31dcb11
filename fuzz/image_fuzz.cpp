// Reads arbitrary bytes as an Intel HEX file and as an S-record file, and checks
// what the reader promises: a refusal names a line of the file or an address;
// accepted runs are sorted, disjoint and inside 32 bits; the mapping lays them
// inside the range it is given or names the lowest address outside it; and what
// was accepted, written out again in either format, reads back the same.
//
// Input layout: the file itself, so that the seeds are files as toolchains write
// them.

#include "flashplan.h"
#include "imagerecords.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

namespace {

void Require(bool holds, const char* invariant)
{
    if (!holds) {
        std::fprintf(stderr, "image reader invariant broken: %s\n", invariant);
        std::abort();
    }
}

// The largest range the harness maps: enough for any input the fuzzer makes
// reach its edges, small enough to keep every run fast.
constexpr std::uint64_t kLargestMapping = 1 << 20;

std::uint64_t LineCount(std::span<const std::uint8_t> file)
{
    const auto newlines = std::uint64_t(std::count(file.begin(), file.end(), '\n'));
    return file.empty() || file.back() == '\n' ? std::max<std::uint64_t>(newlines, 1) : newlines + 1;
}

std::uint64_t End(const TImageRun& run)
{
    return run.Address + std::uint64_t(run.Bytes.size());
}

std::string Digits(std::span<const std::uint8_t> bytes)
{
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (std::uint8_t b : bytes) {
        text += kDigits[b >> 4];
        text += kDigits[b & 0xF];
    }
    return text;
}

// The runs written out as Intel HEX, extended linear addresses and all.
std::string AsIntelHex(const std::vector<TImageRun>& runs)
{
    std::string file;
    auto record = [&](std::uint8_t type, std::uint16_t offset, std::span<const std::uint8_t> data) {
        std::vector<std::uint8_t> bytes = {std::uint8_t(data.size()), std::uint8_t(offset >> 8),
                                           std::uint8_t(offset), type};
        bytes.insert(bytes.end(), data.begin(), data.end());
        std::uint8_t sum = 0;
        for (std::uint8_t b : bytes)
            sum = std::uint8_t(sum + b);
        bytes.push_back(std::uint8_t(-sum));
        file += ":" + Digits(bytes) + "\r\n";
    };
    std::uint64_t upper = 0;
    for (const TImageRun& run : runs) {
        for (std::size_t at = 0; at < run.Bytes.size();) {
            const std::uint64_t address = run.Address + at;
            if (address >> 16 != upper) {
                upper = address >> 16;
                const std::uint8_t value[] = {std::uint8_t(upper >> 8), std::uint8_t(upper)};
                record(0x04, 0, value);
            }
            // A record stays inside its 64 KiB window.
            const std::size_t size = std::size_t(std::min<std::uint64_t>(
                {16, run.Bytes.size() - at, 0x10000 - (address & 0xFFFF)}));
            record(0x00, std::uint16_t(address), std::span(run.Bytes).subspan(at, size));
            at += size;
        }
    }
    record(0x01, 0, {});
    return file;
}

// The runs written out as S3 records with a count and a termination.
std::string AsSRecords(const std::vector<TImageRun>& runs)
{
    std::string file;
    auto record = [&](char type, std::uint64_t address, std::size_t addressBytes,
                      std::span<const std::uint8_t> data) {
        std::vector<std::uint8_t> bytes = {std::uint8_t(addressBytes + data.size() + 1)};
        for (std::size_t i = addressBytes; i-- > 0;)
            bytes.push_back(std::uint8_t(address >> (8 * i)));
        bytes.insert(bytes.end(), data.begin(), data.end());
        std::uint8_t sum = 0;
        for (std::uint8_t b : bytes)
            sum = std::uint8_t(sum + b);
        bytes.push_back(std::uint8_t(~sum));
        file += std::string("S") + type + Digits(bytes) + "\n";
    };
    record('0', 0, 2, {});
    std::uint64_t count = 0;
    for (const TImageRun& run : runs) {
        for (std::size_t at = 0; at < run.Bytes.size(); at += 32) {
            const std::size_t size = std::min<std::size_t>(32, run.Bytes.size() - at);
            record('3', run.Address + at, 4, std::span(run.Bytes).subspan(at, size));
            ++count;
        }
    }
    record('6', count, 3, {});
    record('7', 0, 4, {});
    return file;
}

std::span<const std::uint8_t> Bytes(const std::string& text)
{
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

void CheckRefusal(const TImageRecords& records, std::span<const std::uint8_t> file)
{
    const TImageRefusal& refusal = records.Refusal;
    Require(records.Runs.empty(), "a refused file gives no runs");
    Require(refusal.Line >= 1 && refusal.Line <= LineCount(file), "a refusal names a line of the file");
    const std::string lead = "Line " + std::to_string(refusal.Line) + ": ";
    Require(refusal.Text.size() > lead.size() && refusal.Text.compare(0, lead.size(), lead) == 0,
            "a refusal's text begins with its line");
}

void CheckRuns(const std::vector<TImageRun>& runs)
{
    Require(!runs.empty(), "an accepted file holds data");
    for (std::size_t i = 0; i < runs.size(); ++i) {
        Require(!runs[i].Bytes.empty(), "no run is empty");
        Require(End(runs[i]) <= std::uint64_t(1) << 32, "every run lies inside 32 bits");
        if (i > 0)
            Require(runs[i].Address > End(runs[i - 1]), "runs are sorted, apart and never touching");
    }
}

// Maps the runs onto a range just as large as they need, and onto that range
// less its first or its last byte.
void CheckMapping(const std::vector<TImageRun>& runs)
{
    const std::uint64_t lowest = runs.front().Address;
    const std::uint64_t highest = End(runs.back()); // one past the last byte
    if (highest <= 0xFFFFFFFF && highest - lowest <= kLargestMapping) {
        const TFlashImage image = MapOntoFlash(runs, std::uint32_t(lowest), std::uint32_t(highest));
        Require(image.Status == TFlashImage::Mapped, "data inside the range is mapped");
        Require(image.Bytes.size() == highest - lowest, "the mapping ends at the last byte of data");
        std::vector<bool> covered(image.Bytes.size());
        for (const TImageRun& run : runs) {
            const std::size_t at = std::size_t(run.Address - lowest);
            Require(std::equal(run.Bytes.begin(), run.Bytes.end(), image.Bytes.begin() + std::ptrdiff_t(at)),
                    "every run lies at its own address");
            std::fill_n(covered.begin() + std::ptrdiff_t(at), run.Bytes.size(), true);
        }
        for (std::size_t i = 0; i < covered.size(); ++i)
            Require(covered[i] || image.Bytes[i] == kBlankByte, "gaps are 0xFF");
    }
    if (highest - lowest >= 2) {
        const TFlashImage late = MapOntoFlash(runs, std::uint32_t(lowest + 1),
                                              std::uint32_t(std::min<std::uint64_t>(highest, 0xFFFFFFFF)));
        Require(late.Status == TFlashImage::Outside && late.FirstOutside == lowest && late.Bytes.empty(),
                "a range that starts late names the first byte of data");
    }
    const TFlashImage early = MapOntoFlash(runs, std::uint32_t(lowest), std::uint32_t(highest - 1));
    Require(early.Status == TFlashImage::Outside && early.FirstOutside == highest - 1 && early.Bytes.empty(),
            "a range that ends early names the last byte of data");
}

void CheckRereading(const std::vector<TImageRun>& runs)
{
    const std::string hex = AsIntelHex(runs);
    Require(ImageFormatOf("image", Bytes(hex)) == TImageFormat::IntelHex, "what we write is plainly HEX");
    const TImageRecords fromHex = ReadImageRecords(TImageFormat::IntelHex, Bytes(hex));
    Require(fromHex.Accepted && fromHex.Runs == runs, "accepted data written as HEX reads back the same");

    const std::string srec = AsSRecords(runs);
    Require(ImageFormatOf("image.hex", Bytes(srec)) == TImageFormat::SRecord,
            "what we write is plainly S-record");
    const TImageRecords fromSRec = ReadImageRecords(TImageFormat::SRecord, Bytes(srec));
    Require(fromSRec.Accepted && fromSRec.Runs == runs,
            "accepted data written as S-records reads back the same");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::span<const std::uint8_t> file(data, size);
    // Classifying never fails; the name only decides when the content is unclear.
    for (const char* name : {"image", "image.hex", "IMAGE.S37"})
        ImageFormatOf(name, file);
    Require(ImageFormatOf("image.bin", file) == TImageFormat::Raw, "a .bin stays raw");

    for (const TImageFormat format : {TImageFormat::IntelHex, TImageFormat::SRecord}) {
        const TImageRecords records = ReadImageRecords(format, file);
        if (!records.Accepted) {
            CheckRefusal(records, file);
            continue;
        }
        CheckRuns(records.Runs);
        CheckMapping(records.Runs);
        CheckRereading(records.Runs);
    }
    return 0;
}
