// Feeds arbitrary bytes as settings-file content: every read must agree with an
// independent reading of the same bytes, whatever case or blanks the names come
// in and whether or not a byte-order mark leads, and every value must parse as
// an integer exactly as the documented forms say.

#include "ini_model.h"
#include "profile.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

using inimodel::Require;

bool IsHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Leading blanks, a sign, "$", "0x" or "0X" before at least one hexadecimal digit,
// then the longest run of digits, read whole: any run outside 32 bits is no number.
std::optional<std::int32_t> ModelInteger(std::string_view text)
{
    while (!text.empty() && inimodel::IsBlank(text.front()))
        text.remove_prefix(1);
    bool negative = false;
    if (text.starts_with('+') || text.starts_with('-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    int base = 10;
    if (text.starts_with('$')) {
        base = 16;
        text.remove_prefix(1);
    } else if ((text.starts_with("0x") || text.starts_with("0X")) && text.size() > 2 &&
               IsHexDigit(text[2])) {
        base = 16;
        text.remove_prefix(2);
    }
    std::size_t digits = 0;
    while (digits < text.size() &&
           (base == 16 ? IsHexDigit(text[digits]) : (text[digits] >= '0' && text[digits] <= '9')))
        ++digits;
    if (digits == 0)
        return std::nullopt;
    std::uint64_t magnitude = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + digits, magnitude, base);
    Require(end == text.data() + digits, "the model reads every digit");
    if (error == std::errc::result_out_of_range || magnitude > (1ULL << 31))
        return std::nullopt;
    const std::int64_t value = negative ? -std::int64_t(magnitude) : std::int64_t(magnitude);
    if (value > std::numeric_limits<std::int32_t>::max())
        return std::nullopt;
    return std::int32_t(value);
}

void CheckInteger(std::string_view text)
{
    Require(ParseProfileInteger(text) == ModelInteger(text),
            "an integer reads as the documented forms say");
}

std::string Upper(std::string_view s)
{
    std::string out(s);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z')
            c = char(c - 0x20);
    }
    return out;
}

void CheckRead(std::string_view content, const std::vector<inimodel::TEntry>& entries,
               std::string_view section, std::string_view key)
{
    const auto value = FindProfileValue(content, section, key);
    Require(value == inimodel::Find(entries, section, key), "a read agrees with the model");
    Require(FindProfileValue(content, Upper(section), " " + Upper(key) + "\t") == value,
            "names match whatever their letter case and surrounding blanks");
    if (!content.starts_with(inimodel::kBom)) {
        const std::string marked = std::string(inimodel::kBom) + std::string(content);
        Require(FindProfileValue(marked, section, key) == value,
                "a leading byte-order mark changes no read");
    }
    if (!value)
        return;
    Require(value->size() <= kIniValueMax, "no value is longer than the limit");
    Require(value->find('\n') == std::string::npos, "a value lies within one line");
    Require(content.find(*value) != std::string_view::npos, "a value is bytes of the content");
    CheckInteger(*value);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view content(reinterpret_cast<const char*>(data), size);
    const std::vector<inimodel::TEntry> entries = inimodel::Entries(content);

    // A few of the keys the content holds, spread over the file (every one would
    // slow a run down for little), and the same names where they are absent.
    constexpr std::size_t kReads = 4;
    const std::size_t reads = std::min(entries.size(), kReads);
    for (std::size_t i = 0; i < reads; ++i) {
        const inimodel::TEntry& entry = entries[i * entries.size() / reads];
        CheckRead(content, entries, entry.section, entry.key);
    }
    if (!entries.empty()) {
        CheckRead(content, entries, entries[0].section + "x", entries[0].key);
        CheckRead(content, entries, entries[0].key, entries[0].section);
    }
    // Names cut from the raw bytes, which may hold anything.
    const std::vector<std::string_view> lines = inimodel::Lines(content);
    if (lines.size() >= 2)
        CheckRead(content, entries, lines[0], lines[1]);

    // The first lines as values, and the number the first four bytes hold in
    // each form a value may take.
    for (std::size_t i = 0; i < lines.size() && i < 8; ++i)
        CheckInteger(lines[i]);
    if (size >= 4) {
        std::int32_t number = 0;
        std::memcpy(&number, data, sizeof number);
        const std::uint32_t magnitude =
            number < 0 ? 0U - std::uint32_t(number) : std::uint32_t(number);
        const char* sign = number < 0 ? "-" : "";
        char hex[32];
        Require(ParseProfileInteger(std::to_string(number)) == number, "a decimal reads back");
        std::snprintf(hex, sizeof hex, "%s0x%X", sign, magnitude);
        Require(ParseProfileInteger(hex) == number, "a 0x number reads back");
        std::snprintf(hex, sizeof hex, "%s$%x", sign, magnitude);
        Require(ParseProfileInteger(hex) == number, "a $ number reads back");
    }
    return 0;
}
