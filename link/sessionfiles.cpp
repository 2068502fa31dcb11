#include "sessionfiles.h"

#include "flashdigest.h"

#include <QCryptographicHash>
#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
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

// Reads on until `bytes` holds `limit` bytes or the file ends, hashing what it
// reads when asked; false on a read error.
bool ReadUpTo(TReadFile& file, std::uint64_t limit, std::vector<std::uint8_t>& bytes,
              QCryptographicHash* hash = nullptr)
{
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
    bytes.clear();
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

namespace {

bool IsErased(std::span<const std::uint8_t> bytes)
{
    return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == kErased; });
}

// The offset of the first byte in bytes[from, to) that is not erased, if any.
std::optional<std::uint64_t> FirstWritten(std::span<const std::uint8_t> bytes, std::uint64_t from,
                                          std::uint64_t to)
{
    to = std::min<std::uint64_t>(to, bytes.size());
    for (std::uint64_t i = from; i < to; ++i) {
        if (bytes[i] != kErased)
            return i;
    }
    return std::nullopt;
}

// A raw image: its first bytes are the flash's from FlashStart, and the rest of
// the file, past what the walk reads, is read to its end rather than judged by
// its size: it must be erased flash throughout.
void ReadRaw(TReadFile& file, std::uint64_t covered, QCryptographicHash& hash, TImageRead& image)
{
    if (image.Bytes.size() > covered) {
        const bool erased = IsErased(std::span(image.Bytes).subspan(std::size_t(covered)));
        image.Bytes.resize(std::size_t(covered));
        if (!erased) {
            image.Status = TImageRead::DoesNotFit;
            image.Bytes.clear();
            return;
        }
    } else {
        if (!ReadUpTo(file, covered, image.Bytes, &hash)) {
            image.Bytes.clear();
            return;
        }
        image.FileSize = image.Bytes.size();
    }
    std::vector<std::uint8_t> chunk(kChunk);
    for (;;) {
        const ssize_t n = file.Read(chunk.data(), chunk.size());
        if (n < 0) {
            image.Status = TImageRead::Unreadable;
            image.Bytes.clear();
            return;
        }
        if (n == 0)
            break;
        hash.addData(QByteArrayView(chunk.data(), n));
        image.FileSize += std::uint64_t(n);
        if (!IsErased(std::span(chunk).first(std::size_t(n)))) {
            image.Status = TImageRead::DoesNotFit;
            image.Bytes.clear();
            return;
        }
    }
    image.Status = TImageRead::Read;
}

// An Intel HEX or S-record file, laid onto the flash at its own addresses.
void ReadWithAddresses(TReadFile& file, const TFlashGeometry& geometry, QCryptographicHash& hash,
                       TImageRead& image)
{
    std::vector<std::uint8_t> text = std::move(image.Bytes);
    image.Bytes.clear();
    if (!ReadUpTo(file, kRecordFileLimit + 1, text, &hash))
        return;
    image.FileSize = text.size();
    if (text.size() > kRecordFileLimit) {
        image.Status = TImageRead::TooLarge;
        return;
    }
    const TImageRecords records = ReadImageRecords(image.Format, text);
    text = {};
    if (!records.Accepted) {
        image.Status = TImageRead::Refused;
        image.Refusal = QString::fromStdString(records.Refusal.Text);
        return;
    }
    TFlashImage mapped = MapOntoFlash(records.Runs, geometry.FlashStart, geometry.FlashEnd);
    switch (mapped.Status) {
    case TFlashImage::Mapped:
        break;
    case TFlashImage::Empty:
        image.Status = TImageRead::Empty;
        return;
    case TFlashImage::Outside:
        image.Status = TImageRead::DoesNotFit;
        image.HasAddress = true;
        image.Address = mapped.FirstOutside;
        return;
    }
    // Data the walk never writes would be left out under a record that says the
    // file was programmed: past the blocks it examines, and in the window it
    // steps over.
    std::optional<std::uint64_t> unwritten = FirstWritten(mapped.Bytes, CoveredLength(geometry), mapped.Bytes.size());
    if (StepsOverWindow(geometry)) {
        const std::uint64_t from = kSkippedWindowStart - geometry.FlashStart;
        const std::uint64_t to = kSkippedWindowEnd - geometry.FlashStart;
        if (const auto inWindow = FirstWritten(mapped.Bytes, from, to))
            unwritten = inWindow;
    }
    if (unwritten) {
        image.Status = TImageRead::DoesNotFit;
        image.HasAddress = true;
        image.Address = std::uint32_t(geometry.FlashStart + *unwritten);
        return;
    }
    image.Bytes = std::move(mapped.Bytes);
    image.Status = TImageRead::Read;
}

} // namespace

TImageRead ReadImage(const QString& path, const TFlashGeometry& geometry)
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
    // The first chunk tells the format by its first line.
    if (!ReadUpTo(file, kChunk, image.Bytes, &hash)) {
        image.Bytes.clear();
        return image;
    }
    if (image.Bytes.empty()) {
        image.Status = TImageRead::Empty;
        return image;
    }
    image.Format = ImageFormatOf(QFile::encodeName(path).toStdString(), image.Bytes);
    image.FileSize = image.Bytes.size();
    if (image.Format == TImageFormat::Raw)
        ReadRaw(file, CoveredLength(geometry), hash, image);
    else
        ReadWithAddresses(file, geometry, hash, image);
    if (image.Status != TImageRead::Read)
        return image;
    image.Sha256 = QString::fromLatin1(hash.result().toHex());
    image.FlashSha256 = FlashSha256(image.Bytes);
    return image;
}

QString FileSha256(const QString& path)
{
    TReadFile file(path);
    if (!file.IsOpen() || !file.IsRegular())
        return {};
    QCryptographicHash hash(QCryptographicHash::Sha256);
    std::vector<std::uint8_t> chunk(kChunk);
    for (;;) {
        const ssize_t n = file.Read(chunk.data(), chunk.size());
        if (n < 0)
            return {};
        if (n == 0)
            break;
        hash.addData(QByteArrayView(chunk.data(), n));
    }
    return QString::fromLatin1(hash.result().toHex());
}

QString ImageFileRefusal(const QString& path)
{
    std::vector<std::uint8_t> content;
    bool more = false;
    int error = 0;
    if (!ReadFileBytes(path, kRecordFileLimit, content, more, error))
        return {};
    const TImageFormat format = ImageFormatOf(QFile::encodeName(path).toStdString(), content);
    if (format == TImageFormat::Raw)
        return {};
    if (more)
        return QStringLiteral(" Is Larger Than %1 MiB").arg(kRecordFileLimit / (1024 * 1024));
    const TImageRecords records = ReadImageRecords(format, content);
    return records.Accepted ? QString() : QStringLiteral(": ") + QString::fromStdString(records.Refusal.Text);
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
