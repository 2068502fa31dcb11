#include "sessionfiles.h"

#include <QCryptographicHash>
#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace {

constexpr std::size_t kChunk = 64 * 1024;
constexpr std::uint8_t kErased = 0xFF;

} // namespace

QString SystemText(int error)
{
    return QString::fromStdString(std::system_category().message(error));
}

// O_NONBLOCK keeps a fifo or a device named by mistake from hanging the
// programmer in open() or read(); a regular file never blocks anyway.
TReadFile::TReadFile(const QString& path)
    : fd_(::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK)),
      error_(fd_ < 0 ? errno : 0)
{
}

TReadFile::~TReadFile()
{
    if (fd_ >= 0)
        ::close(fd_);
}

bool TReadFile::IsRegular() const
{
    struct stat st {};
    return fd_ >= 0 && ::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode);
}

std::uint64_t TReadFile::Size() const
{
    struct stat st {};
    if (fd_ < 0 || ::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode))
        return 0;
    return std::uint64_t(st.st_size);
}

ssize_t TReadFile::Read(std::uint8_t* buffer, std::size_t count)
{
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = ::read(fd_, buffer + done, count - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            error_ = errno;
            return -1;
        }
        if (n == 0)
            break;
        done += std::size_t(n);
    }
    return ssize_t(done);
}

namespace {

// Reads up to `limit` bytes into `bytes`, hashing them when asked; false on a
// read error.
bool ReadUpTo(TReadFile& file, std::uint64_t limit, std::vector<std::uint8_t>& bytes,
              QCryptographicHash* hash = nullptr)
{
    bytes.clear();
    // Grown as it is filled: the size on disk may change, or be unknown.
    bytes.reserve(std::size_t(std::min(file.Size(), limit)));
    std::vector<std::uint8_t> chunk(kChunk);
    while (bytes.size() < limit) {
        const std::size_t want = std::size_t(std::min<std::uint64_t>(chunk.size(), limit - bytes.size()));
        const ssize_t n = file.Read(chunk.data(), want);
        if (n < 0)
            return false;
        bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + n);
        if (hash)
            hash->addData(QByteArrayView(chunk.data(), n));
        if (std::size_t(n) < want)
            break;
    }
    return true;
}

} // namespace

bool ReadFileBytes(const QString& path, std::uint64_t limit, std::vector<std::uint8_t>& bytes,
                   bool& more, int& error)
{
    TReadFile file(path);
    more = false;
    if (!file.IsOpen() || !ReadUpTo(file, limit, bytes)) {
        error = file.Error();
        return false;
    }
    if (bytes.size() < limit)
        return true;
    std::uint8_t probe = 0;
    const ssize_t n = file.Read(&probe, 1);
    if (n < 0) {
        error = file.Error();
        return false;
    }
    more = n > 0;
    return true;
}

TImageRead ReadImage(const QString& path, std::uint64_t covered)
{
    TImageRead image;
    TReadFile file(path);
    if (!file.IsOpen())
        return image;
    if (!file.IsRegular()) {
        image.Status = TImageRead::NotAFile;
        return image;
    }
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!ReadUpTo(file, covered, image.Bytes, &hash)) {
        image.Bytes.clear();
        return image;
    }
    image.FileSize = image.Bytes.size();
    if (image.Bytes.empty()) {
        image.Status = TImageRead::Empty;
        return image;
    }
    // The rest is read to its end rather than judged by its size: it must be
    // erased flash throughout.
    std::vector<std::uint8_t> chunk(kChunk);
    for (;;) {
        const ssize_t n = file.Read(chunk.data(), chunk.size());
        if (n < 0) {
            image.Status = TImageRead::Unreadable;
            image.Bytes.clear();
            return image;
        }
        if (n == 0)
            break;
        hash.addData(QByteArrayView(chunk.data(), n));
        image.FileSize += std::uint64_t(n);
        if (!std::all_of(chunk.begin(), chunk.begin() + n, [](std::uint8_t b) { return b == kErased; })) {
            image.Status = TImageRead::DoesNotFit;
            image.Bytes.clear();
            return image;
        }
    }
    image.Status = TImageRead::Read;
    image.Sha256 = QString::fromLatin1(hash.result().toHex());
    return image;
}

TParameterFile::TParameterFile(const QString& path) : path_(path), file_(path) {}

const std::vector<std::uint8_t>& TParameterFile::Content(std::uint64_t limit)
{
    if (read_)
        return content_;
    read_ = true;
    if (!ReadUpTo(file_, limit + 1, content_) || content_.size() > limit) {
        const int error = content_.size() > limit ? EFBIG : file_.Error();
        content_.clear();
        throw EParameterError(
            ("Unable to read Parameter File " + path_ + ": " + SystemText(error)).toStdString());
    }
    sha256_ = Sha256Of(content_);
    return content_;
}

QString Sha256Of(std::span<const std::uint8_t> bytes)
{
    return QString::fromLatin1(
        QCryptographicHash::hash(QByteArrayView(bytes.data(), qsizetype(bytes.size())),
                                 QCryptographicHash::Sha256)
            .toHex());
}
