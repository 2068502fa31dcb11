#include "inifile.h"

#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>

namespace {

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

enum class TReplaced : std::uint8_t { Done, Failed, FolderRefused, OwnerRefused };

bool RefusedByFolder(int error)
{
    return error == EACCES || error == EPERM;
}

// Writes `bytes` to a new file beside `target` and renames it over `target`, so
// that a full disk, a crash or a power cut leaves either the old file or the new
// one, never a truncated one. FolderRefused when the folder's permissions allow
// no new file there or no rename over the old one; OwnerRefused when the copy
// cannot be given the old file's owner and group.
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
        // Only a privileged writer can give the copy another user's ownership or
        // a group it is not in. A copy left as this user's would take the file
        // from its owner and its group: a root:dialout 0660 file would become
        // the writer's own, and lock the other operators out.
        ::close(fd);
        ::unlink(temp.c_str());
        return TReplaced::OwnerRefused;
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

// For paths that are failing already: should this fail too, there is nothing
// better to do than report the first failure.
void TruncateTo(int fd, std::size_t size)
{
    if (::ftruncate(fd, off_t(size)) != 0) {
    }
}

// Rewrites the open file `fd`, which holds `old`, to hold `bytes`, for a file the
// folder will not let us replace or whose owner a copy could not keep. A crash
// part-way can leave a mixed file, which the rename avoids; what can be guarded
// is kept: the bytes before the first difference are not touched, room for a
// longer file is reserved before anything changes, and a write that fails
// part-way puts the old bytes back.
bool WriteInPlace(int fd, std::string_view old, std::string_view bytes)
{
    const std::size_t from = std::size_t(
        std::mismatch(old.begin(), old.end(), bytes.begin(), bytes.end()).first - old.begin());
    if (bytes.size() > old.size() &&
        ::posix_fallocate(fd, off_t(old.size()), off_t(bytes.size() - old.size())) != 0) {
        // The reservation may have grown the file before it failed.
        TruncateTo(fd, old.size());
        return false;
    }
    if (!WriteAllAt(fd, bytes.substr(from), from) || ::ftruncate(fd, off_t(bytes.size())) != 0) {
        // Best effort: the old bytes go into room the file already had.
        (void)WriteAllAt(fd, old.substr(from), from);
        TruncateTo(fd, old.size());
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
    case TReplaced::OwnerRefused:
        // A writable file in a folder this user may not change, as a bench set
        // up by an administrator has it, or another user's file that this user
        // may write: rewritten in place, it keeps its owner and group.
        written = fd >= 0 && WriteInPlace(fd, *old, bytes);
        break;
    }
    if (fd >= 0)
        ::close(fd);
    return written;
}

} // namespace

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

std::vector<std::string> TIniFile::ReadKeys(std::string_view section) const
{
    try {
        if (const auto content = Load())
            return ProfileKeys(*content, section);
    } catch (const EIniFileError&) {
        // As for a value: an unreadable file reads as a missing one.
    }
    return {};
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
