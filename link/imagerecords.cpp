#include "imagerecords.h"

#include "flashplan.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <limits>

namespace {

// ":" + count, offset, type and checksum: the shortest Intel HEX record.
constexpr std::size_t kIntelMinDigits = 10;
// "S" + type + count, a 16-bit address and checksum: the shortest S-record.
constexpr std::size_t kSRecordMinDigits = 8;

// An Intel record's offset is 16 bits and the format wraps it within its 64 KiB
// window; a segment address reaches 1 MiB.
constexpr std::uint64_t kIntelWindow = 0x10000;
constexpr std::uint64_t kSegmentSpace = 0x100000;

enum TIntelType : std::uint8_t {
    ihData = 0x00,
    ihEndOfFile = 0x01,
    ihExtendedSegment = 0x02,
    ihStartSegment = 0x03,
    ihExtendedLinear = 0x04,
    ihStartLinear = 0x05,
};

// Address bytes of S0 to S9; S4 is no record type.
constexpr std::array<std::uint8_t, 10> kSRecordAddressBytes = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};

std::string HexText(std::uint64_t value)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

std::string ByteText(std::uint8_t value)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value);
    return text;
}

std::string CountText(std::uint64_t count, const char* thing)
{
    return std::to_string(count) + " " + thing + (count == 1 ? "" : "s");
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

bool IsHexDigits(std::string_view text)
{
    return std::all_of(text.begin(), text.end(), [](char c) { return HexValue(c) >= 0; });
}

// A character as a message shows it: printable ones quoted, others by value, so
// that a stray CR or NUL is visible.
std::string CharText(char c)
{
    const auto byte = static_cast<std::uint8_t>(c);
    if (byte >= 0x20 && byte < 0x7F)
        return std::string("'") + c + "'";
    return "byte " + ByteText(byte);
}

// The sum of a record's bytes, its checksum left out.
std::uint8_t SumBeforeChecksum(const std::vector<std::uint8_t>& record)
{
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i + 1 < record.size(); ++i)
        sum = std::uint8_t(sum + record[i]);
    return sum;
}

std::string_view AsText(std::span<const std::uint8_t> content)
{
    return {reinterpret_cast<const char*>(content.data()), content.size()};
}

std::string_view FirstLine(std::string_view text)
{
    std::string_view line = text.substr(0, text.find('\n'));
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    return line;
}

// Whether the first line is a record of a format beyond doubt: its lead-in and
// nothing but an even number of hex digits, enough for the shortest record.
bool PlainlyIntelHex(std::string_view text)
{
    const std::string_view line = FirstLine(text);
    return line.size() >= 1 + kIntelMinDigits && line[0] == ':' && (line.size() - 1) % 2 == 0 &&
           IsHexDigits(line.substr(1));
}

bool PlainlySRecord(std::string_view text)
{
    const std::string_view line = FirstLine(text);
    return line.size() >= 2 + kSRecordMinDigits && line[0] == 'S' && line[1] >= '0' && line[1] <= '9' &&
           line.size() % 2 == 0 && IsHexDigits(line.substr(2));
}

std::string LowerExtension(std::string_view name)
{
    const std::size_t slash = name.rfind('/');
    if (slash != std::string_view::npos)
        name.remove_prefix(slash + 1);
    const std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos)
        return {};
    std::string extension(name.substr(dot + 1));
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; });
    return extension;
}

struct TDataRecord {
    std::uint64_t Address;
    std::uint64_t Line;
    std::size_t First; // into the reader's pool of data bytes
    std::size_t Size;

    std::uint64_t End() const { return Address + Size; }
};

// Reads a record file line by line; the first fault found ends the reading.
class TRecordReader {
public:
    TRecordReader(TImageFormat format, std::string_view text) : format_(format), text_(text) {}

    TImageRecords Read();

private:
    bool Refuse(std::uint64_t line, const std::string& what);
    bool ReadLine(std::string_view line);
    bool DecodeDigits(std::string_view line, std::size_t from);
    bool ReadIntelRecord(std::string_view line);
    bool ReadSRecord(std::string_view line);
    bool Keep(std::uint64_t address, std::span<const std::uint8_t> data);
    bool ReadLines();
    bool CheckComplete();
    void BuildRuns();

    const TImageFormat format_;
    const std::string_view text_;
    TImageRecords result_;

    std::uint64_t line_ = 0;
    std::vector<std::uint8_t> bytes_; // the current line's decoded bytes
    std::uint64_t lastRecordLine_ = 0;
    std::uint64_t firstBlankLine_ = 0; // a blank line not yet followed by a record
    std::uint64_t endLine_ = 0;        // the end record's line, once read
    // Whether the last record read shows that the file was not cut short: an end
    // record, or an S-record count that matched.
    bool closed_ = false;
    // Intel HEX: the base that types 02 and 04 set, and which one set it.
    std::uint64_t base_ = 0;
    bool segmented_ = false;
    // S-record: the S1/S2/S3 records so far, for the S5/S6 counts.
    std::uint64_t dataRecordCount_ = 0;

    std::vector<TDataRecord> records_;
    std::vector<std::uint8_t> pool_;
};

bool TRecordReader::Refuse(std::uint64_t line, const std::string& what)
{
    result_.Accepted = false;
    result_.Runs.clear();
    result_.Refusal.Line = line;
    result_.Refusal.Text = "Line " + std::to_string(line) + ": " + what;
    return false;
}

TImageRecords TRecordReader::Read()
{
    if (ReadLines() && CheckComplete())
        BuildRuns();
    return std::move(result_);
}

bool TRecordReader::ReadLines()
{
    std::size_t at = 0;
    while (at < text_.size()) {
        const std::size_t newline = text_.find('\n', at);
        std::string_view line = text_.substr(at, newline == std::string_view::npos ? std::string_view::npos
                                                                                   : newline - at);
        at = newline == std::string_view::npos ? text_.size() : newline + 1;
        ++line_;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line.empty()) {
            if (firstBlankLine_ == 0)
                firstBlankLine_ = line_;
            continue;
        }
        if (endLine_ != 0)
            return Refuse(line_, "text after the end record on line " + std::to_string(endLine_));
        // Blank lines are tolerated only after the end record, which is not known
        // to come until the next line arrives.
        if (firstBlankLine_ != 0)
            return Refuse(firstBlankLine_, "blank line between records");
        closed_ = false;
        if (!ReadLine(line))
            return false;
        lastRecordLine_ = line_;
    }
    return true;
}

bool TRecordReader::CheckComplete()
{
    if (line_ == 0)
        return Refuse(1, "the file is empty");
    if (lastRecordLine_ == 0)
        return Refuse(1, "the file holds no record");
    if (!closed_)
        return Refuse(lastRecordLine_,
                      format_ == TImageFormat::IntelHex
                          ? "the file ends here without an end-of-file record (type 01)"
                          : "the file ends here without a termination record (S7, S8, S9) or a count (S5, S6)");
    if (records_.empty())
        return Refuse(lastRecordLine_, "the file ends here without a byte of data");
    return true;
}

bool TRecordReader::ReadLine(std::string_view line)
{
    return format_ == TImageFormat::IntelHex ? ReadIntelRecord(line) : ReadSRecord(line);
}

bool TRecordReader::DecodeDigits(std::string_view line, std::size_t from)
{
    bytes_.clear();
    for (std::size_t i = from; i < line.size(); ++i)
        if (HexValue(line[i]) < 0)
            return Refuse(line_, CharText(line[i]) + " at column " + std::to_string(i + 1) +
                                     " is not a hex digit");
    if ((line.size() - from) % 2 != 0)
        return Refuse(line_, "odd number of hex digits");
    for (std::size_t i = from; i < line.size(); i += 2)
        bytes_.push_back(std::uint8_t(HexValue(line[i]) << 4 | HexValue(line[i + 1])));
    return true;
}

// Keeps a data record's bytes; the caller has checked that they fit the format's
// address space, so `address` + size stays within 32 bits.
bool TRecordReader::Keep(std::uint64_t address, std::span<const std::uint8_t> data)
{
    if (data.empty())
        return true;
    records_.push_back({address, line_, pool_.size(), data.size()});
    pool_.insert(pool_.end(), data.begin(), data.end());
    return true;
}

bool TRecordReader::ReadIntelRecord(std::string_view line)
{
    if (line[0] != ':')
        return Refuse(line_, "does not begin with ':'");
    if (!DecodeDigits(line, 1))
        return false;
    if (bytes_.size() < kIntelMinDigits / 2)
        return Refuse(line_, "too short for a record");
    const std::size_t count = bytes_[0];
    if (bytes_.size() != count + kIntelMinDigits / 2)
        return Refuse(line_, "byte count " + ByteText(bytes_[0]) + ", but the line holds " +
                                 CountText(bytes_.size() - kIntelMinDigits / 2, "byte") + " of data");
    const auto expected = std::uint8_t(-SumBeforeChecksum(bytes_));
    if (bytes_.back() != expected)
        return Refuse(line_, "checksum " + ByteText(bytes_.back()) + " does not match the record's " +
                                 ByteText(expected));
    const std::uint64_t offset = std::uint64_t(bytes_[1]) << 8 | bytes_[2];
    const std::span<const std::uint8_t> data(bytes_.data() + 4, count);
    const auto value16 = [&] { return std::uint64_t(data[0]) << 8 | data[1]; };
    const auto needs = [&](std::size_t size, const char* name) {
        if (count == size)
            return true;
        return Refuse(line_, std::string(name) + " must hold " + std::to_string(size) + " bytes, not " +
                                 std::to_string(count));
    };

    switch (bytes_[3]) {
    case ihData:
        if (offset + count > kIntelWindow)
            return Refuse(line_, "data run from offset " + HexText(offset) +
                                     " past the end of their 64 KiB window");
        if (segmented_ && base_ + offset + count > kSegmentSpace)
            return Refuse(line_, "segment base " + HexText(base_) + " plus offset " + HexText(offset) +
                                     " runs past 1 MiB");
        return Keep(base_ + offset, data);
    case ihEndOfFile:
        if (!needs(0, "an end-of-file record (type 01)"))
            return false;
        endLine_ = line_;
        closed_ = true;
        return true;
    case ihExtendedSegment:
    case ihExtendedLinear: {
        const bool segment = bytes_[3] == ihExtendedSegment;
        if (!needs(2, segment ? "an extended segment address record (type 02)"
                              : "an extended linear address record (type 04)"))
            return false;
        base_ = value16() << (segment ? 4 : 16);
        segmented_ = segment;
        return true;
    }
    case ihStartSegment:
        return needs(4, "a start segment address record (type 03)");
    case ihStartLinear:
        return needs(4, "a start linear address record (type 05)");
    default:
        return Refuse(line_, "unknown record type " + ByteText(bytes_[3]));
    }
}

bool TRecordReader::ReadSRecord(std::string_view line)
{
    if (line[0] != 'S')
        return Refuse(line_, "does not begin with 'S'");
    if (line.size() < 2 || line[1] < '0' || line[1] > '9')
        return Refuse(line_, "'S' is not followed by a record type digit");
    const unsigned type = unsigned(line[1] - '0');
    const std::string name = std::string("an S") + line[1] + " record";
    if (kSRecordAddressBytes[type] == 0)
        return Refuse(line_, "S" + std::to_string(type) + " is not a record type");
    if (!DecodeDigits(line, 2))
        return false;
    const std::size_t addressBytes = kSRecordAddressBytes[type];
    if (bytes_.empty())
        return Refuse(line_, "too short for a record");
    if (bytes_.size() != std::size_t(bytes_[0]) + 1)
        return Refuse(line_, "byte count " + ByteText(bytes_[0]) + ", but " +
                                 CountText(bytes_.size() - 1, "byte") + " follow it");
    if (bytes_.size() < addressBytes + 2)
        return Refuse(line_, "too short for " + name + "'s address and checksum");
    const auto expected = std::uint8_t(~SumBeforeChecksum(bytes_));
    if (bytes_.back() != expected)
        return Refuse(line_, "checksum " + ByteText(bytes_.back()) + " does not match the record's " +
                                 ByteText(expected));
    std::uint64_t address = 0;
    for (std::size_t i = 1; i <= addressBytes; ++i)
        address = address << 8 | bytes_[i];
    const std::span<const std::uint8_t> data(bytes_.data() + 1 + addressBytes,
                                             bytes_.size() - addressBytes - 2);

    switch (type) {
    case 0:
        return true;
    case 1:
    case 2:
    case 3: {
        const std::uint64_t space = std::uint64_t(1) << (8 * addressBytes);
        if (address + data.size() > space)
            return Refuse(line_, "data run from " + HexText(address) + " past the end of " + name +
                                     "'s " + std::to_string(8 * addressBytes) + "-bit address space");
        ++dataRecordCount_;
        return Keep(address, data);
    }
    case 5:
    case 6:
        if (!data.empty())
            return Refuse(line_, name + " must hold nothing after its count");
        if (address != dataRecordCount_)
            return Refuse(line_, "count " + std::to_string(address) + ", but " +
                                     CountText(dataRecordCount_, "data record") + " come before it");
        closed_ = true;
        return true;
    default: // S7, S8, S9
        if (!data.empty())
            return Refuse(line_, name + " must hold nothing after its start address");
        endLine_ = line_;
        closed_ = true;
        return true;
    }
}

// Lays the records out by address, one run for consecutive ones, and refuses two
// records that give one address different values. The lowest such address is
// named wherever in the file its records stand.
void TRecordReader::BuildRuns()
{
    std::vector<TDataRecord> sorted = records_;
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const TDataRecord& a, const TDataRecord& b) { return a.Address < b.Address; });
    std::vector<TImageRun> runs;
    std::uint64_t runEnd = 0;
    std::uint64_t conflict = std::numeric_limits<std::uint64_t>::max();
    for (const TDataRecord& record : sorted) {
        const auto data = pool_.begin() + std::ptrdiff_t(record.First);
        if (runs.empty() || record.Address > runEnd) {
            runs.push_back({std::uint32_t(record.Address), {data, data + std::ptrdiff_t(record.Size)}});
            runEnd = record.End();
            continue;
        }
        // Records are sorted by their start, so this one starts inside or right
        // after the current run; the run keeps the value it was first given.
        TImageRun& run = runs.back();
        const std::uint64_t shared = std::min(record.End(), runEnd) - record.Address;
        const auto held = run.Bytes.begin() + std::ptrdiff_t(record.Address - run.Address);
        const auto mismatch = std::mismatch(held, held + std::ptrdiff_t(shared), data);
        if (mismatch.first != held + std::ptrdiff_t(shared))
            conflict = std::min(conflict, record.Address + std::uint64_t(mismatch.first - held));
        if (record.End() > runEnd) {
            run.Bytes.insert(run.Bytes.end(), data + std::ptrdiff_t(shared), data + std::ptrdiff_t(record.Size));
            runEnd = record.End();
        }
    }
    if (conflict == std::numeric_limits<std::uint64_t>::max()) {
        result_.Accepted = true;
        result_.Runs = std::move(runs);
        return;
    }
    // The two lines to name: the first that gives the address a value, and the
    // first after it that gives another.
    const TDataRecord* first = nullptr;
    for (const TDataRecord& record : records_) {
        if (conflict < record.Address || conflict >= record.End())
            continue;
        const std::uint8_t value = pool_[record.First + std::size_t(conflict - record.Address)];
        if (!first) {
            first = &record;
            continue;
        }
        const std::uint8_t earlier = pool_[first->First + std::size_t(conflict - first->Address)];
        if (value != earlier) {
            Refuse(record.Line, "gives address " + HexText(conflict) + " the value " + ByteText(value) +
                                    ", line " + std::to_string(first->Line) + " gave it " + ByteText(earlier));
            break;
        }
    }
    result_.Refusal.HasAddress = true;
    result_.Refusal.Address = std::uint32_t(conflict);
}

} // namespace

TImageFormat ImageFormatOf(std::string_view name, std::span<const std::uint8_t> content)
{
    const std::string extension = LowerExtension(name);
    if (extension == "bin")
        return TImageFormat::Raw;
    const std::string_view text = AsText(content);
    if (PlainlyIntelHex(text))
        return TImageFormat::IntelHex;
    if (PlainlySRecord(text))
        return TImageFormat::SRecord;
    if (extension == "hex" || extension == "ihx")
        return TImageFormat::IntelHex;
    if (extension == "s19" || extension == "s28" || extension == "s37" || extension == "srec" ||
        extension == "mot")
        return TImageFormat::SRecord;
    return TImageFormat::Raw;
}

TImageRecords ReadImageRecords(TImageFormat format, std::span<const std::uint8_t> content)
{
    if (format == TImageFormat::Raw) {
        TImageRecords records;
        records.Refusal = {1, false, 0, "Line 1: a raw image holds no records"};
        return records;
    }
    return TRecordReader(format, AsText(content)).Read();
}

TFlashImage MapOntoFlash(std::span<const TImageRun> runs, std::uint32_t flashStart, std::uint32_t flashEnd)
{
    TFlashImage image;
    constexpr std::uint64_t kNone = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t firstOutside = kNone;
    std::uint64_t last = flashStart; // one past the last byte of data
    bool any = false;
    for (const TImageRun& run : runs) {
        if (run.Bytes.empty())
            continue;
        any = true;
        const std::uint64_t start = run.Address;
        const std::uint64_t end = start + run.Bytes.size();
        if (start < flashStart)
            firstOutside = std::min(firstOutside, start);
        else if (end > flashEnd)
            firstOutside = std::min(firstOutside, std::max<std::uint64_t>(start, flashEnd));
        last = std::max(last, end);
    }
    if (!any)
        return image;
    if (firstOutside != kNone) {
        image.Status = TFlashImage::Outside;
        image.FirstOutside = std::uint32_t(firstOutside);
        return image;
    }
    image.Bytes.assign(std::size_t(last - flashStart), kBlankByte);
    for (const TImageRun& run : runs)
        std::copy(run.Bytes.begin(), run.Bytes.end(),
                  image.Bytes.begin() + std::ptrdiff_t(run.Address - flashStart));
    image.Status = TFlashImage::Mapped;
    return image;
}
