#include "profile.h"

#include <algorithm>
#include <cctype>
#include <limits>
#include <vector>

namespace {

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view Trim(std::string_view s)
{
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

// Only ASCII letters are folded. The file is UTF-8, where the bytes 0xC0 to 0xDE
// are lead bytes of multi-byte characters rather than Latin-1 capitals: folding
// them never makes a UTF-8 capital match its small form (É is C3 89, é is C3 A9),
// yet it would let a key match bytes that spell something else, such as the
// identification bytes E3 A9 against the key "é".
unsigned char FoldCase(unsigned char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + 0x20) : c;
}

bool SameName(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (FoldCase(static_cast<unsigned char>(a[i])) != FoldCase(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

// One line of the file as it stands: `text` without its line end, `end` the
// offset just past its line end (or the end of the content for a last line
// without one).
struct TLine {
    std::size_t begin = 0;
    std::size_t end = 0;
    std::string_view text;
};

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

// Length of the byte-order mark the content starts with, or 0.
std::size_t BomLength(std::string_view content)
{
    return content.starts_with(kUtf8Bom) ? kUtf8Bom.size() : 0;
}

// The lines after any byte-order mark, which would otherwise hide the section
// header it stands before. The mark belongs to no line, so a write keeps it.
std::vector<TLine> SplitLines(std::string_view content)
{
    std::vector<TLine> lines;
    std::size_t pos = BomLength(content);
    while (pos < content.size()) {
        const std::size_t newline = content.find('\n', pos);
        const std::size_t next = newline == std::string_view::npos ? content.size() : newline + 1;
        std::string_view text = content.substr(pos, next - pos);
        if (!text.empty() && text.back() == '\n')
            text.remove_suffix(1);
        if (!text.empty() && text.back() == '\r')
            text.remove_suffix(1);
        lines.push_back({pos, next, text});
        pos = next;
    }
    return lines;
}

// The section name of a header line, or nullopt for any other line.
std::optional<std::string_view> SectionOf(std::string_view text)
{
    text = Trim(text);
    if (text.empty() || text.front() != '[')
        return std::nullopt;
    text.remove_prefix(1);
    const std::size_t close = text.find(']');
    if (close != std::string_view::npos)
        text = text.substr(0, close);
    return Trim(text);
}

struct TEntry {
    std::string_view key;
    std::size_t valueOffset = 0; // within the line's text, just past the "="
};

// The key and where the value starts, for a line of the form key=value. Lines
// without "=" and comment lines carry no entry: a read of such a line gives the
// default, as the profile functions do.
std::optional<TEntry> EntryOf(std::string_view text)
{
    const std::string_view trimmed = Trim(text);
    if (trimmed.empty() || trimmed.front() == ';')
        return std::nullopt;
    const std::size_t equals = text.find('=');
    if (equals == std::string_view::npos)
        return std::nullopt;
    return TEntry{Trim(text.substr(0, equals)), equals + 1};
}

// Where a key lives in the content, or where it would be added.
struct TKeyPlace {
    std::optional<std::size_t> keyLine;     // index of the key's line
    std::optional<std::size_t> sectionLast; // last non-blank line of the first such section
};

// The file's names are read without their surrounding blanks, so the names asked
// for are too: otherwise " Port" would never find the line a write of it added.
TKeyPlace Locate(const std::vector<TLine>& lines, std::string_view section, std::string_view key)
{
    section = Trim(section);
    key = Trim(key);
    TKeyPlace place;
    bool inSection = false;
    bool firstSection = false;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (const auto name = SectionOf(lines[i].text)) {
            inSection = SameName(*name, section);
            firstSection = inSection && !place.sectionLast;
            if (firstSection)
                place.sectionLast = i;
            continue;
        }
        if (!inSection)
            continue;
        if (firstSection && !Trim(lines[i].text).empty())
            place.sectionLast = i;
        const auto entry = EntryOf(lines[i].text);
        if (entry && SameName(entry->key, key)) {
            place.keyLine = i;
            return place;
        }
    }
    return place;
}

std::string_view LineEndOf(std::string_view content)
{
    const std::size_t newline = content.find('\n');
    if (newline != std::string_view::npos && newline > 0 && content[newline - 1] == '\r')
        return "\r\n";
    return "\n";
}

bool HasLineBreak(std::string_view s)
{
    return s.find_first_of("\r\n") != std::string_view::npos;
}

} // namespace

std::optional<std::string> FindProfileValue(std::string_view content, std::string_view section,
                                            std::string_view key)
{
    const std::vector<TLine> lines = SplitLines(content);
    const TKeyPlace place = Locate(lines, section, key);
    if (!place.keyLine)
        return std::nullopt;
    const std::string_view text = lines[*place.keyLine].text;
    std::string_view value = Trim(text.substr(EntryOf(text)->valueOffset));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
    }
    return std::string(value.substr(0, kIniValueMax));
}

std::vector<std::string> ProfileKeys(std::string_view content, std::string_view section)
{
    section = Trim(section);
    std::vector<std::string> keys;
    bool inSection = false;
    for (const TLine& line : SplitLines(content)) {
        if (const auto name = SectionOf(line.text)) {
            inSection = SameName(*name, section);
            continue;
        }
        const auto entry = inSection ? EntryOf(line.text) : std::nullopt;
        // A line "=value" has no name to be found by.
        if (!entry || entry->key.empty())
            continue;
        const bool seen = std::any_of(keys.begin(), keys.end(),
                                      [&](const std::string& k) { return SameName(k, entry->key); });
        if (!seen)
            keys.emplace_back(entry->key);
    }
    return keys;
}

std::optional<std::int32_t> ParseProfileInteger(std::string_view text)
{
    while (!text.empty() && IsBlank(text.front()))
        text.remove_prefix(1);
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    const auto hexDigitAt = [&](std::size_t at) {
        return at < text.size() && std::isxdigit(static_cast<unsigned char>(text[at]));
    };
    unsigned base = 10;
    if (!text.empty() && text.front() == '$') {
        base = 16;
        text.remove_prefix(1);
    } else if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X') &&
               hexDigitAt(2)) {
        // "0x" without a hexadecimal digit after it is the decimal 0 followed by
        // other text, as "0z" is.
        base = 16;
        text.remove_prefix(2);
    }

    // Accumulated as a magnitude with room for the most negative value.
    constexpr std::uint64_t kLimit = std::uint64_t(std::numeric_limits<std::int32_t>::max()) + 1;
    std::uint64_t magnitude = 0;
    std::size_t digits = 0;
    for (const char c : text) {
        unsigned digit = 0;
        if (c >= '0' && c <= '9')
            digit = unsigned(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = unsigned(c - 'a' + 10);
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = unsigned(c - 'A' + 10);
        else
            break; // "2 " and "2x" are 2: what follows the digits is not read
        magnitude = magnitude * base + digit;
        // Too large is no number rather than some other number: a cut or wrapped
        // value would select a port nobody wrote.
        if (magnitude > kLimit)
            return std::nullopt;
        ++digits;
    }
    if (digits == 0 || (!negative && magnitude == kLimit))
        return std::nullopt;
    return negative ? std::int32_t(-std::int64_t(magnitude)) : std::int32_t(magnitude);
}

std::string SetProfileValue(std::string_view content, std::string_view section,
                            std::string_view key, std::string_view value)
{
    if (HasLineBreak(section) || section.find(']') != std::string_view::npos)
        throw EIniFileError("Invalid section name: " + std::string(section));
    if (Trim(key).empty() || HasLineBreak(key) || key.find('=') != std::string_view::npos ||
        Trim(key).front() == ';' || Trim(key).front() == '[')
        throw EIniFileError("Invalid key name: " + std::string(key));
    if (HasLineBreak(value))
        throw EIniFileError("Invalid value for " + std::string(key));

    const std::vector<TLine> lines = SplitLines(content);
    const TKeyPlace place = Locate(lines, section, key);
    const std::string_view lineEnd = LineEndOf(content);
    std::string out;
    out.reserve(content.size() + section.size() + key.size() + value.size() + 8);

    if (place.keyLine) {
        // Keep the key as the file spells it, and whatever ended the line.
        const TLine& line = lines[*place.keyLine];
        const std::size_t valueStart = line.begin + EntryOf(line.text)->valueOffset;
        out.append(content.substr(0, valueStart));
        out.append(value);
        out.append(content.substr(line.begin + line.text.size()));
        return out;
    }

    // A new line must not run on from the file's last line. That line may lack
    // its line end, or end in a CR alone: a read strips that CR, so the line
    // looked ended, and the new line would have been read as part of it.
    const auto endLastLine = [&] {
        if (out.back() == '\r')
            out.push_back('\n');
        else if (out.back() != '\n')
            out.append(lineEnd);
    };
    const auto appendEntry = [&] {
        out.append(Trim(key));
        out.push_back('=');
        out.append(value);
        out.append(lineEnd);
    };
    if (place.sectionLast) {
        // After the section's last non-blank line, so blank lines that separate it
        // from the next section stay where they are.
        const TLine& last = lines[*place.sectionLast];
        out.append(content.substr(0, last.end));
        endLastLine();
        appendEntry();
        out.append(content.substr(last.end));
        return out;
    }

    out.append(content);
    if (content.size() > BomLength(content))
        endLastLine();
    out.push_back('[');
    out.append(Trim(section));
    out.push_back(']');
    out.append(lineEnd);
    appendEntry();
    return out;
}
