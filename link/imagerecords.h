#pragma once

// Firmware images as toolchains hand them over: Intel HEX and Motorola S-record,
// beside the raw image that holds the flash's bytes from FlashStart. Plain
// functions of a file's name and bytes, so that every rule is checked case by case
// and the fuzzer can reach them without Qt.
//
// What these functions promise:
// - Any bytes give an answer, accepted data or a refusal: no exception but
//   std::bad_alloc, no read outside the bytes given, and no address arithmetic
//   that wraps (it is done in 64 bits and checked against the format's space).
// - A refusal names where the file is wrong: the first offending line (1-based)
//   for a fault of syntax, checksum or a record's address, and the lowest address
//   for two records that disagree and for data outside the flash.
// - Nothing is guessed. A line is a record of the file's format or blank, and
//   only what the format defines is taken:
//   - lines end in LF or CR LF, and the last one may have no line end;
//   - hex digits may be upper or lower case;
//   - blank lines may follow the last record (editors add them), nowhere else;
//   - a file cut short in a copy is refused rather than programmed in part: an
//     Intel file must end in its end-of-file record (type 01), an S-record file
//     in a termination record (S7, S8, S9) or in a count (S5, S6), which must
//     match the S1/S2/S3 records before it wherever it stands (srec_cat, for
//     one, writes a count and no termination when it knows no start address);
//   - S0 headers are skipped wherever they stand; start addresses (Intel 03 and
//     05, S7/S8/S9) are checked for form and otherwise ignored, as the
//     controller runs from its own reset vector;
//   - one record's data never crosses the end of its address space: 64 KiB for an
//     Intel record's offset (the format would wrap it), 1 MiB for a segment
//     address, 16, 24 or 32 bits for S1, S2, S3;
//   - the same byte given twice is fine when it is the same value;
//   - a file without a single data byte is refused.
//   Anything else, a blank line between records, a space, a BOM, an unknown
//   record type, text after the end record, is refused.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

enum class TImageFormat : std::uint8_t {
    Raw,      // the flash's bytes from FlashStart, no addresses
    IntelHex, // .hex, .ihx
    SRecord,  // .s19, .s28, .s37, .srec, .mot
};

// The format of the file `name` (a name or a path) holding `content`. A ".bin"
// stays raw whatever it holds, as it always has. Otherwise content decides when
// its first line is plainly a record of one format; failing that the extension
// (in any letter case) does, so that a damaged ".hex" is refused line by line
// rather than programmed as raw text; anything else is raw.
TImageFormat ImageFormatOf(std::string_view name, std::span<const std::uint8_t> content);

// Data for consecutive addresses.
struct TImageRun {
    std::uint32_t Address = 0;
    std::vector<std::uint8_t> Bytes;

    bool operator==(const TImageRun&) const = default;
};

// Why a file was refused. Text is the whole message, beginning with the line it
// names ("Line 12: ..."), ready to follow the file's name.
struct TImageRefusal {
    // 1-based: the offending line; for two records that disagree, the later one.
    std::uint64_t Line = 0;
    // Two records that disagree also name the lowest address they disagree on.
    bool HasAddress = false;
    std::uint32_t Address = 0;
    std::string Text;
};

struct TImageRecords {
    bool Accepted = false;
    // When accepted: sorted by address, never empty, neither overlapping nor
    // touching (consecutive records are one run).
    std::vector<TImageRun> Runs;
    TImageRefusal Refusal; // when not accepted
};

// Reads the records of an Intel HEX or S-record file. A raw image carries no
// addresses and is read by ReadImage; given Raw, this refuses it at line 1.
TImageRecords ReadImageRecords(TImageFormat format, std::span<const std::uint8_t> content);

// An image laid onto the flash, as an upload takes it once the controller has
// reported its range.
struct TFlashImage {
    enum TStatus : std::uint8_t {
        Mapped,
        Empty,   // no data: an upload would erase the flash and write nothing
        Outside, // data outside FlashStart to FlashEnd; FirstOutside says where
    };
    TStatus Status = Empty;
    // When mapped: from FlashStart to the last byte of data, gaps 0xFF (what
    // erasing leaves, so a gap is a blank block and is not sent).
    std::vector<std::uint8_t> Bytes;
    std::uint32_t FirstOutside = 0; // the lowest address outside the range
};

// Lays `runs` (as ReadImageRecords gives them: sorted and disjoint) onto the flash
// from `flashStart` up to, not including, `flashEnd`. Every byte of data must lie
// inside; nothing is cut off or moved.
TFlashImage MapOntoFlash(std::span<const TImageRun> runs, std::uint32_t flashStart, std::uint32_t flashEnd);
