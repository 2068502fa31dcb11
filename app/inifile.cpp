#include "inifile.h"

#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <filesystem>
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

TKeyPlace Locate(const std::vector<TLine>& lines, std::string_view section, std::string_view key)
{
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

// Writes all of `bytes` at `offset`. Every write is checked for a short count: a
// file-size limit or a full disk can cut a write short without an error.
bool WriteAllAt(int fd, std::string_view bytes, std::size_t offset)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::pwrite(fd, bytes.data() + done, bytes.size() - done,
                                   off_t(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += std::size_t(n);
    }
    return true;
}

enum class TReplaced : std::uint8_t { Done, Failed, FolderRefused };

bool RefusedByFolder(int error)
{
    return error == EACCES || error == EPERM;
}

// Writes `bytes` to a new file beside `target` and renames it over `target`, so
// that a full disk, a crash or a power cut leaves either the old file or the new
// one, never a truncated one. FolderRefused when the folder's permissions allow
// no new file there or no rename over the old one.
TReplaced ReplaceFile(const std::filesystem::path& target, const std::string& bytes)
{
    namespace fs = std::filesystem;
    const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");

    struct stat old {};
    const bool existed = ::stat(target.c_str(), &old) == 0;
    mode_t mode = 0;
    if (existed) {
        mode = old.st_mode & 07777;
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }

    std::string temp = (folder / ("." + target.filename().string() + ".XXXXXX")).string();
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
        return RefusedByFolder(errno) ? TReplaced::FolderRefused : TReplaced::Failed;
    const auto fail = [&] {
        ::close(fd);
        ::unlink(temp.c_str());
        return TReplaced::Failed;
    };
    if (::fchmod(fd, mode) != 0)
        return fail();
    if (existed && ::fchown(fd, old.st_uid, old.st_gid) != 0) {
        // Only a privileged writer can give the copy the old owner; anyone else
        // may write the old file, and keeps the copy as its own with the old
        // permissions.
    }
    if (!WriteAllAt(fd, bytes, 0))
        return fail();
    if (::fsync(fd) != 0)
        return fail();
    if (::close(fd) != 0) {
        ::unlink(temp.c_str());
        return TReplaced::Failed;
    }
    if (::rename(temp.c_str(), target.c_str()) != 0) {
        // A sticky folder lets this user add files, but not replace another's.
        const int error = errno;
        ::unlink(temp.c_str());
        return RefusedByFolder(error) ? TReplaced::FolderRefused : TReplaced::Failed;
    }
    // The rename is only durable once the folder's entry is on disk.
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return TReplaced::Done;
}

// Rewrites the open file `fd`, which holds `old`, to hold `bytes`, for a file the
// folder will not let us replace. A crash part-way can leave a mixed file, which
// the rename avoids; what can be guarded is kept: the bytes before the first
// difference are not touched, room for a longer file is reserved before anything
// changes, and a write that fails part-way puts the old bytes back.
bool WriteInPlace(int fd, std::string_view old, std::string_view bytes)
{
    const std::size_t from = std::size_t(
        std::mismatch(old.begin(), old.end(), bytes.begin(), bytes.end()).first - old.begin());
    if (bytes.size() > old.size() &&
        ::posix_fallocate(fd, off_t(old.size()), off_t(bytes.size() - old.size())) != 0) {
        // The reservation may have grown the file before it failed.
        (void)::ftruncate(fd, off_t(old.size()));
        return false;
    }
    if (!WriteAllAt(fd, bytes.substr(from), from) || ::ftruncate(fd, off_t(bytes.size())) != 0) {
        // Best effort: the old bytes go into room the file already had.
        (void)WriteAllAt(fd, old.substr(from), from);
        (void)::ftruncate(fd, off_t(old.size()));
        ::fsync(fd);
        return false;
    }
    return ::fsync(fd) == 0;
}

// Writes the settings file at `path`, which held `old` (nullopt: did not exist).
bool WriteSettings(const std::string& path, const std::optional<std::string>& old,
                   const std::string& bytes)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    // A symlinked settings file is replaced at its target, and the link stays.
    fs::path target = path;
    if (fs::is_symlink(target, ec)) {
        const fs::path resolved = fs::canonical(target, ec);
        if (!ec)
            target = resolved;
    }

    // The rename needs only the folder's permission, so the file's own is asked
    // here: a file its owner made read-only must stay as it is. Opening for
    // writing, without truncating, changes nothing and answers for modes, access
    // lists and read-only mounts alike.
    int fd = -1;
    if (old) {
        fd = ::open(target.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
        if (fd < 0)
            return false;
    }
    bool written = false;
    switch (ReplaceFile(target, bytes)) {
    case TReplaced::Done:
        written = true;
        break;
    case TReplaced::Failed:
        break;
    case TReplaced::FolderRefused:
        // A writable file in a folder this user may not change, as a bench set
        // up by an administrator has it.
        written = fd >= 0 && WriteInPlace(fd, *old, bytes);
        break;
    }
    if (fd >= 0)
        ::close(fd);
    return written;
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

    const auto appendEntry = [&] {
        out.append(key);
        out.push_back('=');
        out.append(value);
        out.append(lineEnd);
    };
    if (place.sectionLast) {
        // After the section's last non-blank line, so blank lines that separate it
        // from the next section stay where they are.
        const TLine& last = lines[*place.sectionLast];
        out.append(content.substr(0, last.end));
        if (last.end == last.begin + last.text.size())
            out.append(lineEnd); // the file's last line had no line end
        appendEntry();
        out.append(content.substr(last.end));
        return out;
    }

    out.append(content);
    if (content.size() > BomLength(content) && content.back() != '\n')
        out.append(lineEnd);
    out.push_back('[');
    out.append(section);
    out.push_back(']');
    out.append(lineEnd);
    appendEntry();
    return out;
}

TIniFile::TIniFile(std::string fileName) : fileName_(std::move(fileName)) {}

std::optional<std::string> TIniFile::Load() const
{
    const QString name = QFile::decodeName(fileName_.c_str());
    if (!QFile::exists(name))
        return std::nullopt;
    QFile file(name);
    if (!file.open(QIODevice::ReadOnly))
        throw EIniFileError("Unable to read " + fileName_);
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        throw EIniFileError("Unable to read " + fileName_);
    return bytes.toStdString();
}

std::string TIniFile::ReadString(std::string_view section, std::string_view key,
                                 std::string_view defaultValue) const
{
    try {
        if (const auto content = Load()) {
            if (auto value = FindProfileValue(*content, section, key))
                return std::move(*value);
        }
    } catch (const EIniFileError&) {
        // An unreadable file reads as a missing one: every key takes its default.
    }
    return std::string(defaultValue.substr(0, kIniValueMax));
}

std::int32_t TIniFile::ReadInteger(std::string_view section, std::string_view key,
                                   std::int32_t defaultValue) const
{
    const std::string text = ReadString(section, key, "");
    return ParseProfileInteger(text).value_or(defaultValue);
}

void TIniFile::FailWrite() const
{
    throw EIniFileError("Unable to write to " + fileName_);
}

void TIniFile::WriteString(std::string_view section, std::string_view key, std::string_view value)
{
    std::optional<std::string> content;
    try {
        content = Load();
    } catch (const EIniFileError&) {
        FailWrite();
    }
    const std::string updated = SetProfileValue(content.value_or(std::string()), section, key, value);
    if (!WriteSettings(fileName_, content, updated))
        FailWrite();
}

void TIniFile::WriteInteger(std::string_view section, std::string_view key, std::int32_t value)
{
    WriteString(section, key, std::to_string(value));
}
