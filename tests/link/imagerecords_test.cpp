// Intel HEX and S-record images: which format a file is, what its records map to
// on the flash or why it is refused, held against srec_cat as an independent
// reading of the same files; and the digest that makes one firmware compare equal
// whatever file it came in.

#include "flashdigest.h"
#include "imagerecords.h"
#include "sessionfiles.h"

#include "hex.h"
#include "scratch_dir.h"
#include "srec_cat.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr std::uint32_t kStart = 0x4000;
constexpr std::uint32_t kEnd = 0x8000;

Bytes Of(const std::string& text)
{
    return {text.begin(), text.end()};
}

std::string HexDigits(const Bytes& bytes)
{
    std::string text;
    char digits[3];
    for (std::uint8_t b : bytes) {
        std::snprintf(digits, sizeof digits, "%02X", b);
        text += digits;
    }
    return text;
}

// One Intel HEX record with its count and checksum worked out.
std::string Intel(std::uint8_t type, std::uint16_t offset, std::string_view data = "")
{
    Bytes record = {std::uint8_t(Hex(data).size()), std::uint8_t(offset >> 8), std::uint8_t(offset), type};
    record = Join(record, Hex(data));
    std::uint8_t sum = 0;
    for (std::uint8_t b : record)
        sum = std::uint8_t(sum + b);
    record.push_back(std::uint8_t(-sum));
    return ":" + HexDigits(record) + "\n";
}

const std::string kIntelEnd = ":00000001FF\n";

// One S-record with the address width of its type, count and checksum worked out.
std::string SRec(int type, std::uint32_t address, std::string_view data = "")
{
    static const int kAddressBytes[] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};
    Bytes record;
    for (int i = kAddressBytes[type] - 1; i >= 0; --i)
        record.push_back(std::uint8_t(address >> (8 * i)));
    record = Join(record, Hex(data));
    record.insert(record.begin(), std::uint8_t(record.size() + 1));
    std::uint8_t sum = 0;
    for (std::uint8_t b : record)
        sum = std::uint8_t(sum + b);
    record.push_back(std::uint8_t(~sum));
    return "S" + std::to_string(type) + HexDigits(record) + "\n";
}

// A file read and laid onto the flash as an upload would: the bytes, or the
// refusal as a message (the reader's, or the mapping's in the same words).
struct TOutcome {
    Bytes Mapped;
    std::string Refusal;
    bool HasAddress = false;
    std::uint32_t Address = 0;
};

TOutcome ReadAndMap(TImageFormat format, const std::string& file, std::uint32_t start, std::uint32_t end)
{
    TOutcome outcome;
    const TImageRecords records = ReadImageRecords(format, Of(file));
    if (!records.Accepted) {
        outcome.Refusal = records.Refusal.Text;
        outcome.HasAddress = records.Refusal.HasAddress;
        outcome.Address = records.Refusal.Address;
        return outcome;
    }
    TFlashImage image = MapOntoFlash(records.Runs, start, end);
    switch (image.Status) {
    case TFlashImage::Mapped:
        outcome.Mapped = std::move(image.Bytes);
        break;
    case TFlashImage::Empty:
        outcome.Refusal = "empty";
        break;
    case TFlashImage::Outside:
        outcome.Refusal = "outside the flash";
        outcome.HasAddress = true;
        outcome.Address = image.FirstOutside;
        break;
    }
    return outcome;
}

std::string Describe(const Bytes& bytes)
{
    return bytes.size() > 64 ? HexDigits(Bytes(bytes.begin(), bytes.begin() + 64)) + "... (" +
                                   std::to_string(bytes.size()) + " bytes)"
                             : HexDigits(bytes);
}

const char* FormatOption(TImageFormat format)
{
    return format == TImageFormat::IntelHex ? "-intel" : "-motorola";
}

// What srec_cat makes of `name` as raw flash from `start`: filled with 0xFF from
// `start` up to the file's last byte of data.
Bytes SrecCatMapping(const std::string& tool, const ScratchDir& dir, const std::string& name,
                     TImageFormat format, std::uint32_t start)
{
    const std::string file = (dir / name).string();
    const std::string option = FormatOption(format);
    const std::string failure =
        RunSrecCat(tool, dir,
                   {"(", file, option, "-fill", "0xFF", std::to_string(start), "(", "-maximum-address", file,
                    option, ")", ")", "-offset", "-", std::to_string(start), "-o", (dir / "oracle.bin").string(),
                    "-binary"});
    EXPECT_EQ(failure, "") << name;
    return Of(dir.ReadFile("oracle.bin"));
}

TEST(ImageFormat, IsKnownByContentWhenPlainAndOtherwiseByExtension)
{
    const std::string hex = Intel(0x00, 0x4000, "01 02") + kIntelEnd;
    const std::string srec = SRec(1, 0x4000, "01 02") + SRec(9, 0);
    struct TCase {
        const char* Name;
        std::string Content;
        TImageFormat Format;
    };
    const TCase cases[] = {
        {"fw.hex", hex, TImageFormat::IntelHex},
        {"fw.ihx", hex, TImageFormat::IntelHex},
        {"FW.HEX", "garbage", TImageFormat::IntelHex}, // refused line by line, never programmed raw
        {"fw.hex", srec, TImageFormat::SRecord},      // a misnamed file is read for what it is
        {"fw.s19", hex, TImageFormat::IntelHex},
        {"fw.s19", "garbage", TImageFormat::SRecord},
        {"fw.S28", "", TImageFormat::SRecord},
        {"fw.s37", "", TImageFormat::SRecord},
        {"fw.srec", "", TImageFormat::SRecord},
        {"fw.mot", "", TImageFormat::SRecord},
        {"firmware", hex, TImageFormat::IntelHex},
        {"/images/fw.img", srec, TImageFormat::SRecord},
        {"fw.img", hex.substr(0, hex.find('\n')), TImageFormat::IntelHex}, // a first line without its end
        {"fw.bin", hex, TImageFormat::Raw}, // a .bin is raw, as it has always been
        {"fw.BIN", srec, TImageFormat::Raw},
        {"fw", "garbage", TImageFormat::Raw},
        {"", "", TImageFormat::Raw},
        {"images.hex/fw", ":\x01\x02\n", TImageFormat::Raw}, // a folder's extension is not the file's
        {"fw.img", ":0102\n", TImageFormat::Raw},              // too short for any record
        {"fw.img", ":01020304050Z\n", TImageFormat::Raw},
        {"fw.img", ":000000010F F\n", TImageFormat::Raw},
        {"fw.img", "s1030000FC\n", TImageFormat::Raw},
        {"fw.img", "SX030000FC\n", TImageFormat::Raw},
        {"fw.img", "S1030000FC0\n", TImageFormat::Raw}, // odd count of digits
        {"fw.img", "S1030000FC\r\n", TImageFormat::SRecord},
    };
    for (const TCase& c : cases)
        EXPECT_EQ(ImageFormatOf(c.Name, Of(c.Content)), c.Format) << c.Name << " holding " << c.Content;
}

struct TFileCase {
    const char* Name;
    TImageFormat Format;
    std::string File;
    std::string Mapped = {};  // hex of the bytes from FlashStart, when accepted
    std::string Refusal = {}; // the message, when refused
    std::int64_t Address = -1; // the address a refusal names
    std::uint32_t FlashStart = kStart;
    std::uint32_t FlashEnd = kEnd;
};

const TImageFormat kHex = TImageFormat::IntelHex;
const TImageFormat kSRec = TImageFormat::SRecord;

std::vector<TFileCase> FileCases()
{
    const std::string kLinear1 = Intel(0x04, 0, "0001");
    return {
        // What is accepted.
        {"one record", kHex, Intel(0, 0x4000, "DEADBEEF") + kIntelEnd, "DEADBEEF"},
        {"a gap and a lead-in, both 0xFF", kHex,
         Intel(0, 0x4002, "0102") + Intel(0, 0x4006, "0304") + kIntelEnd, "FFFF0102FFFF0304"},
        {"records out of order", kHex, Intel(0, 0x4004, "0304") + Intel(0, 0x4000, "0001") + kIntelEnd,
         "0001FFFF0304"},
        {"an identical duplicate and a partial one", kHex,
         Intel(0, 0x4000, "01020304") + Intel(0, 0x4000, "01020304") + Intel(0, 0x4002, "0304") + kIntelEnd,
         "01020304"},
        {"extended linear address", kHex, kLinear1 + Intel(0, 0x0010, "AA55") + kIntelEnd, "FFFFAA55", "", -1,
         0x1000E, 0x20000},
        {"consecutive across a 64 KiB boundary", kHex,
         Intel(0, 0xFFFE, "0102") + kLinear1 + Intel(0, 0x0000, "0304") + kIntelEnd, "01020304", "", -1, 0xFFFE,
         0x20000},
        {"extended segment address", kHex, Intel(0x02, 0, "1000") + Intel(0, 0x0010, "0102") + kIntelEnd,
         "0102", "", -1, 0x10010, 0x20000},
        {"segment address reaching 1 MiB exactly", kHex,
         Intel(0x02, 0, "F000") + Intel(0, 0xFFFE, "0102") + kIntelEnd, "0102", "", -1, 0xFFFFE, 0x100000},
        {"start addresses, types 03 and 05", kHex,
         Intel(0x03, 0, "00001234") + Intel(0, 0x4000, "01") + Intel(0x05, 0, "00004000") + kIntelEnd, "01"},
        {"lower case, CR LF, no line end on the last line", kHex, ":024000000a0bA9\r\n:00000001ff", "0A0B"},
        {"blank lines after the end record", kHex, Intel(0, 0x4000, "01") + kIntelEnd + "\n\r\n\n", "01"},
        {"empty data records alongside", kHex, Intel(0, 0x4100) + Intel(0, 0x4000, "01") + kIntelEnd, "01"},
        {"S19 with header, count and termination", kSRec,
         SRec(0, 0, "6677") + SRec(1, 0x4000, "0102") + SRec(1, 0x4004, "0506") + SRec(5, 2) + SRec(9, 0x4000),
         "0102FFFF0506"},
        {"S28", kSRec, SRec(2, 0x012340, "0102") + SRec(8, 0), "0102", "", -1, 0x12340, 0x20000},
        {"ended by a count alone", kSRec, SRec(1, 0x4000, "01") + SRec(5, 1), "01"},
        {"S37 above 16 MiB", kSRec, SRec(3, 0x08000002, "0102") + SRec(7, 0x08000000), "FFFF0102", "", -1,
         0x08000000, 0x08100000},
        {"S37 at the top of the 32-bit space", kSRec, SRec(3, 0xFFFFFFF0, "0102") + SRec(7, 0), "0102", "", -1,
         0xFFFFFFF0, 0xFFFFFFFF},
        {"mixed S1 and S3, count in S6", kSRec,
         SRec(1, 0x4000, "01") + SRec(3, 0x4001, "02") + SRec(6, 2) + SRec(9, 0), "0102"},

        // What is refused, and where.
        {"bad checksum", kHex, Intel(0, 0x4000, "01") + ":0140010002BB\n" + kIntelEnd, "",
         "Line 2: checksum 0xBB does not match the record's 0xBC"},
        {"bad S-record checksum", kSRec, "S1054000010200\nS9030000FC\n", "",
         "Line 1: checksum 0x00 does not match the record's 0xB7"},
        {"byte count off", kHex, ":0240000001F7\n" + kIntelEnd, "",
         "Line 1: byte count 0x02, but the line holds 1 byte of data"},
        {"a space in a record", kHex, ":01400000 01BE\n" + kIntelEnd, "",
         "Line 1: ' ' at column 10 is not a hex digit"},
        {"a stray CR", kHex, ":0140\r000001BE\n" + kIntelEnd, "",
         "Line 1: byte 0x0D at column 6 is not a hex digit"},
        {"odd digits", kHex, ":0140000001BE0\n" + kIntelEnd, "", "Line 1: odd number of hex digits"},
        {"not a record", kHex, Intel(0, 0x4000, "01") + "S1030000FC\n", "", "Line 2: does not begin with ':'"},
        {"a BOM", kHex, "\xEF\xBB\xBF" + Intel(0, 0x4000, "01") + kIntelEnd, "",
         "Line 1: does not begin with ':'"},
        {"too short", kHex, ":00000001\n", "", "Line 1: too short for a record"},
        {"unknown type", kHex, Intel(0x06, 0, "") + kIntelEnd, "", "Line 1: unknown record type 0x06"},
        {"linear address of 3 bytes", kHex, Intel(0x04, 0, "000100") + kIntelEnd, "",
         "Line 1: an extended linear address record (type 04) must hold 2 bytes, not 3"},
        {"end record with data", kHex, Intel(0, 0x4000, "01") + Intel(0x01, 0, "00"), "",
         "Line 2: an end-of-file record (type 01) must hold 0 bytes, not 1"},
        {"data past the 64 KiB window", kHex, Intel(0, 0xFFFF, "0102") + kIntelEnd, "",
         "Line 1: data run from offset 0xFFFF past the end of their 64 KiB window"},
        {"segment address past 1 MiB", kHex, Intel(0x02, 0, "FFFF") + Intel(0, 0x0010, "01") + kIntelEnd, "",
         "Line 2: segment base 0xFFFF0 plus offset 0x10 runs past 1 MiB"},
        {"overlap with other data", kHex,
         Intel(0, 0x4000, "01020304") + Intel(0, 0x4010, "01") + Intel(0, 0x4002, "0305") + kIntelEnd, "",
         "Line 3: gives address 0x4003 the value 0x05, line 1 gave it 0x04", 0x4003},
        {"the lowest conflict named, not the first found", kHex,
         Intel(0, 0x4000, "01020304") + Intel(0, 0x4002, "03FF") + Intel(0, 0x4000, "01EE") + kIntelEnd, "",
         "Line 3: gives address 0x4001 the value 0xEE, line 1 gave it 0x02", 0x4001},
        {"no data", kHex, Intel(0x04, 0, "0000") + kIntelEnd, "", "Line 2: the file ends here without a byte of data"},
        {"only empty data records", kSRec, SRec(1, 0x4000) + SRec(5, 1), "",
         "Line 2: the file ends here without a byte of data"},
        {"empty file", kHex, "", "", "Line 1: the file is empty"},
        {"blank lines only", kSRec, "\n\r\n", "", "Line 1: the file holds no record"},
        {"cut short", kHex, Intel(0, 0x4000, "01") + Intel(0, 0x4001, "02") + "\n", "",
         "Line 2: the file ends here without an end-of-file record (type 01)"},
        {"S-record cut short", kSRec, SRec(1, 0x4000, "01"), "",
         "Line 1: the file ends here without a termination record (S7, S8, S9) or a count (S5, S6)"},
        {"text after the end", kHex, Intel(0, 0x4000, "01") + kIntelEnd + "\n" + Intel(0, 0x4001, "02"), "",
         "Line 4: text after the end record on line 2"},
        {"a blank line between records", kHex, Intel(0, 0x4000, "01") + "\r\n" + Intel(0, 0x4001, "02") + kIntelEnd,
         "", "Line 2: blank line between records"},
        {"S4", kSRec, "S4030000FC\n" + SRec(9, 0), "", "Line 1: S4 is not a record type"},
        {"no type digit", kSRec, "SX030000FC\n", "", "Line 1: 'S' is not followed by a record type digit"},
        {"S3 past 4 GiB", kSRec, SRec(3, 0xFFFFFFFE, "010203") + SRec(7, 0), "",
         "Line 1: data run from 0xFFFFFFFE past the end of an S3 record's 32-bit address space"},
        {"S1 past 64 KiB", kSRec, SRec(1, 0xFFFF, "0102") + SRec(9, 0), "",
         "Line 1: data run from 0xFFFF past the end of an S1 record's 16-bit address space"},
        {"S-record with an odd digit", kSRec, "S102000FD\n", "", "Line 1: odd number of hex digits"},
        {"S1 without room for its address", kSRec, "S10200FD\n", "",
         "Line 1: too short for an S1 record's address and checksum"},
        {"count record wrong", kSRec, SRec(1, 0x4000, "01") + SRec(1, 0x4001, "02") + SRec(5, 3) + SRec(9, 0), "",
         "Line 3: count 3, but 2 data records come before it"},
        {"cut short after a count", kSRec, SRec(1, 0x4000, "01") + SRec(5, 1) + SRec(1, 0x4001, "02"), "",
         "Line 3: the file ends here without a termination record (S7, S8, S9) or a count (S5, S6)"},
        {"termination with data", kSRec, SRec(1, 0x4000, "01") + SRec(9, 0, "00"), "",
         "Line 2: an S9 record must hold nothing after its start address"},

        // Refused by the mapping: the flash is known only once the controller has told.
        {"below FlashStart", kHex, Intel(0, 0x3FFE, "01020304") + kIntelEnd, "", "outside the flash", 0x3FFE},
        {"across FlashEnd", kHex, Intel(0, 0x4000, "01") + Intel(0, 0x7FFE, "01020304") + kIntelEnd, "",
         "outside the flash", 0x8000},
        {"wholly above FlashEnd", kSRec, SRec(3, 0x08000000, "01") + SRec(7, 0), "", "outside the flash",
         0x08000000},
        {"the very last address", kSRec, SRec(3, 0xFFFFFFFC, "01020304") + SRec(7, 0), "", "outside the flash",
         0xFFFFFFFF, 0xFFFFFF00, 0xFFFFFFFF},
    };
}

TEST(ImageRecords, MapOrRefuseEachFileOfTheTable)
{
    for (const TFileCase& c : FileCases()) {
        SCOPED_TRACE(c.Name);
        const TOutcome outcome = ReadAndMap(c.Format, c.File, c.FlashStart, c.FlashEnd);
        EXPECT_EQ(Describe(outcome.Mapped), Describe(Hex(c.Mapped)));
        EXPECT_EQ(outcome.Refusal, c.Refusal);
        EXPECT_EQ(outcome.HasAddress, c.Address >= 0);
        if (c.Address >= 0) {
            EXPECT_EQ(outcome.Address, std::uint32_t(c.Address));
        }
    }
}

TEST(ImageRecords, AcceptedFilesOfTheTableMapAsSrecCatReadsThem)
{
    REQUIRE_SREC_CAT(tool);
    ScratchDir dir;
    for (const TFileCase& c : FileCases()) {
        if (c.Mapped.empty())
            continue;
        SCOPED_TRACE(c.Name);
        dir.WriteFile("case", c.File);
        const Bytes oracle = SrecCatMapping(tool, dir, "case", c.Format, c.FlashStart);
        EXPECT_EQ(Describe(ReadAndMap(c.Format, c.File, c.FlashStart, c.FlashEnd).Mapped), Describe(oracle));
    }
}

TEST(ImageRecords, RunsAreSortedDisjointAndJoinedWhereRecordsMeet)
{
    const std::string file = Intel(0, 0x4010, "05") + Intel(0, 0x4000, "01") + Intel(0, 0x4001, "0203") +
                             Intel(0, 0x4003, "04") + Intel(0, 0x4002, "03") + kIntelEnd;
    const TImageRecords records = ReadImageRecords(kHex, Of(file));
    ASSERT_TRUE(records.Accepted) << records.Refusal.Text;
    const std::vector<TImageRun> expected = {{0x4000, Hex("01020304")}, {0x4010, Hex("05")}};
    EXPECT_EQ(records.Runs, expected);
}

TEST(ImageRecords, MappingNeedsData)
{
    EXPECT_EQ(MapOntoFlash({}, kStart, kEnd).Status, TFlashImage::Empty);
    const std::vector<TImageRun> nothing = {{kStart, {}}};
    EXPECT_EQ(MapOntoFlash(nothing, kStart, kEnd).Status, TFlashImage::Empty);
    // A range that holds nothing leaves every byte outside it.
    const std::vector<TImageRun> one = {{kStart, {0x01}}};
    const TFlashImage image = MapOntoFlash(one, kStart, kStart);
    EXPECT_EQ(image.Status, TFlashImage::Outside);
    EXPECT_EQ(image.FirstOutside, kStart);
}

// A raw image with blank stretches, as a linker's output padded to the flash.
Bytes RandomFirmware(std::mt19937& random, std::size_t size)
{
    Bytes image(size);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<std::size_t> stretch(1, 4096);
    std::bernoulli_distribution blank(0.3);
    for (std::size_t at = 0; at < size;) {
        const std::size_t length = std::min(stretch(random), size - at);
        const bool erased = blank(random);
        for (std::size_t i = 0; i < length; ++i)
            image[at + i] = erased ? 0xFF : std::uint8_t(byte(random));
        at += length;
    }
    // The tail erased, as a padded image's is.
    std::fill(image.end() - std::ptrdiff_t(size / 8), image.end(), 0xFF);
    return image;
}

TEST(ImageRecords, LargerImagesWrittenBySrecCatMapBackToTheirBin)
{
    REQUIRE_SREC_CAT(tool);
    struct TCase {
        std::uint32_t FlashStart;
        std::size_t Size;
        std::vector<std::string> Output; // srec_cat's output options
        TImageFormat Format;
    };
    const TCase cases[] = {
        {0x4000, 200'000, {"-intel"}, kHex},
        {0x0800'0000, 300'000, {"-intel"}, kHex},
        {0x4000, 200'000, {"-intel", "-address-length=3"}, kHex}, // segment addresses
        {0x4000, 200'000, {"-motorola", "-address-length=4"}, kSRec},
        {0x0800'0000, 300'000, {"-motorola", "-address-length=4"}, kSRec},
        {0x10000, 100'000, {"-motorola"}, kSRec}, // S2, the smallest that reaches
    };
    ScratchDir dir;
    std::mt19937 random(31);
    for (const TCase& c : cases) {
        const Bytes bin = RandomFirmware(random, c.Size);
        const std::string description = std::to_string(c.Size) + " bytes at " + std::to_string(c.FlashStart) +
                                        " as " + c.Output[0] + (c.Output.size() > 1 ? " " + c.Output[1] : "");
        SCOPED_TRACE(description);
        dir.WriteFile("fw.bin", std::string(bin.begin(), bin.end()));
        // Written once whole, 0xFF records and all, and once with the erased
        // stretches left out as gaps.
        for (const bool gaps : {false, true}) {
            std::vector<std::string> args = {(dir / "fw.bin").string(), "-binary"};
            if (gaps)
                args.insert(args.end(), {"-unfill", "0xFF", "16"});
            args.insert(args.end(), {"-offset", std::to_string(c.FlashStart), "-o", (dir / "fw.out").string()});
            args.insert(args.end(), c.Output.begin(), c.Output.end());
            ASSERT_EQ(RunSrecCat(tool, dir, args), "");
            const std::string file = dir.ReadFile("fw.out");
            ASSERT_EQ(ImageFormatOf("fw.out", Of(file)), c.Format);
            const TOutcome outcome = ReadAndMap(c.Format, file, c.FlashStart, c.FlashStart + c.Size);
            ASSERT_EQ(outcome.Refusal, "");
            // Whole, the mapping is the .bin; with gaps it stops at the last byte
            // of data, and the rest is what erasing leaves.
            Bytes padded = outcome.Mapped;
            ASSERT_LE(padded.size(), bin.size());
            EXPECT_EQ(gaps, padded.size() < bin.size());
            padded.resize(bin.size(), 0xFF);
            EXPECT_TRUE(padded == bin);
            EXPECT_EQ(FlashSha256(outcome.Mapped), FlashSha256(bin));
        }
    }
}

// The image as an upload reads it: whatever the walk over the flash will not
// write must be erased, or the file is refused before the erase, naming where.
TEST(ImageFile, IsReadForTheFlashItWillBeProgrammedInto)
{
    const TFlashGeometry small{kStart, kEnd, 256};
    // Wide enough that the walk steps over the window at 0xF0000 to 0xFC000.
    const TFlashGeometry wide{kStart, 0x100000, 256};
    ASSERT_TRUE(StepsOverWindow(wide));
    const auto extended = [](std::uint16_t upper) {
        return Intel(0x04, 0, HexDigits({std::uint8_t(upper >> 8), std::uint8_t(upper)}));
    };
    struct TCase {
        const char* What;
        const char* Name;
        std::string Content;
        TFlashGeometry Geometry;
        TImageRead::TStatus Status;
        std::string Mapped;       // hex digits of the bytes read, when read
        std::string Refusal = ""; // the start of the refusal, when refused
        std::uint32_t Address = 0; // the first unwritten address, for a file with addresses
    };
    const TCase cases[] = {
        {"a raw image", "fw.bin", "\x01\x02", small, TImageRead::Read, "0102"},
        {"a HEX file with a gap", "fw.hex", Intel(0, 0x4000, "01 02") + Intel(0, 0x4004, "03") + kIntelEnd, small,
         TImageRead::Read, "0102FFFF03"},
        {"an S-record file", "fw.s37", SRec(3, 0x4001, "05") + SRec(7, 0), small, TImageRead::Read, "FF05"},
        {"a bad checksum", "fw.hex", Intel(0, 0x4000, "01") + ":0140000002BC\n" + kIntelEnd, small,
         TImageRead::Refused, "", "Line 2: "},
        {"no data records", "fw.hex", kIntelEnd, small, TImageRead::Refused, "", "Line 1: "},
        {"data below the flash", "fw.hex", Intel(0, 0x3FFF, "01 02") + kIntelEnd, small, TImageRead::DoesNotFit,
         "", "", 0x3FFF},
        {"data past the flash", "fw.s19", SRec(1, 0x7FFF, "01 02") + SRec(9, 0), small, TImageRead::DoesNotFit,
         "", "", 0x8000},
        {"data in the window the walk steps over", "fw.hex",
         Intel(0, 0x4000, "01") + extended(0xF) + Intel(0, 0x0010, "00 00") + kIntelEnd, wide,
         TImageRead::DoesNotFit, "", "", 0xF0010},
        {"erased bytes in that window", "fw.hex",
         Intel(0, 0x4000, "01") + extended(0xF) + Intel(0, 0x0010, "FF FF") + kIntelEnd, wide, TImageRead::Read,
         "01"},
        {"an empty file", "fw.hex", "", small, TImageRead::Empty, ""},
    };
    ScratchDir dir;
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.What);
        dir.WriteFile(c.Name, c.Content);
        const TImageRead image = ReadImage(QString::fromStdString((dir / c.Name).string()), c.Geometry);
        ASSERT_EQ(image.Status, c.Status) << image.Refusal.toStdString();
        EXPECT_EQ(image.FileSize, c.Content.size());
        if (c.Status == TImageRead::Read) {
            Bytes mapped = image.Bytes;
            // Trailing erased bytes are no part of what is programmed.
            while (!mapped.empty() && mapped.back() == 0xFF)
                mapped.pop_back();
            EXPECT_EQ(HexDigits(mapped), c.Mapped);
            EXPECT_EQ(image.Sha256, Sha256Of(Of(c.Content)));
            EXPECT_EQ(image.FlashSha256, FlashSha256(image.Bytes));
        } else {
            EXPECT_TRUE(image.Bytes.empty());
            EXPECT_TRUE(image.Sha256.isEmpty()) << "only an image that is used is recorded by its digest";
        }
        EXPECT_TRUE(image.Refusal.toStdString().starts_with(c.Refusal)) << image.Refusal.toStdString();
        EXPECT_EQ(image.Refusal.isEmpty(), c.Status != TImageRead::Refused);
        EXPECT_EQ(image.HasAddress, c.Address != 0);
        EXPECT_EQ(image.Address, c.Address);
    }
}

TEST(FlashDigest, LeavesOutTrailingErasedBytesOnly)
{
    const QString abc = QStringLiteral("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    const QString nothing = QStringLiteral("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(FlashSha256(Text("abc")), abc);
    EXPECT_EQ(FlashSha256(Join(Text("abc"), Hex("FF FF FF"))), abc);
    EXPECT_EQ(FlashSha256(Hex("FF FF")), nothing);
    EXPECT_EQ(FlashSha256({}), nothing);
    // Erased bytes inside the image are part of it.
    EXPECT_NE(FlashSha256(Join(Hex("FF"), Text("abc"))), abc);
    EXPECT_EQ(FlashSha256(Hex("FF 61 FF")), Sha256Of(Hex("FF 61")));
}

} // namespace
