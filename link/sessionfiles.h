#pragma once

// Reading the files a session sends: the target loader, the firmware image and
// the parameter file. Every file is opened without blocking, so that a fifo or a
// device named by mistake cannot hang the programmer, and each read reports what
// went wrong in terms the operator's message can use.

#include "flashplan.h"
#include "imagerecords.h"

#include <QString>

#include <cstdint>
#include <span>
#include <stdexcept>
#include <vector>

#include <sys/types.h>

// A file opened for reading.
class TReadFile {
public:
    explicit TReadFile(const QString& path);
    ~TReadFile();
    TReadFile(const TReadFile&) = delete;
    TReadFile& operator=(const TReadFile&) = delete;

    bool IsOpen() const { return fd_ >= 0; }
    int Error() const { return error_; }
    // A regular file, as opposed to a fifo, a device or a folder.
    bool IsRegular() const;
    // The file's size; 0 for what has none (a fifo, say).
    std::uint64_t Size() const;
    // Up to `count` bytes; fewer only at the end of the file. -1 on error, with
    // the reason in Error().
    ssize_t Read(std::uint8_t* buffer, std::size_t count);

private:
    int fd_;
    int error_;
};

// Reads at most `limit` bytes of a file; false (with the reason in `error`) when it
// cannot be opened or read. `more` tells whether the file holds more than that.
bool ReadFileBytes(const QString& path, std::uint64_t limit, std::vector<std::uint8_t>& bytes,
                   bool& more, int& error);

// The firmware image as an upload takes it: the flash's bytes from FlashStart, as
// far as the walk over the flash reaches. A raw image is those bytes; an Intel HEX
// or S-record file is laid onto the flash at its own addresses, gaps 0xFF.
struct TImageRead {
    enum TStatus : std::uint8_t {
        Read,
        Unreadable,  // missing, not permitted, or failing to read
        NotAFile,    // a fifo, a device, a folder: nothing that holds an image
        Empty,       // 0 bytes: an upload would erase the flash and write nothing
        DoesNotFit,  // bytes that are not 0xFF where the walk never writes
        Refused,     // a file with addresses that is malformed; Refusal says where
        TooLarge,    // a file with addresses larger than kRecordFileLimit
    };
    TStatus Status = Unreadable;
    TImageFormat Format = TImageFormat::Raw;
    std::vector<std::uint8_t> Bytes; // from FlashStart, at most as far as the walk reads
    std::uint64_t FileSize = 0;      // the whole file, as read
    QString Sha256;                  // of the whole file, as read; hex
    QString FlashSha256;             // of the bytes as programmed (flashdigest.h); hex
    // DoesNotFit, for a file with addresses: the first address of data that
    // would not be written.
    bool HasAddress = false;
    std::uint32_t Address = 0;
    QString Refusal; // Refused: "Line 12: ..."
};

// A text image names each byte several times over (a HEX file takes about 2.8
// bytes of text per byte of flash), and a QR740's flash is about 1 MiB: a file
// past this is no image of it, and reading it would only cost memory.
inline constexpr std::uint64_t kRecordFileLimit = 64 * 1024 * 1024;

// Reads the image at `path` for the flash `geometry` reports. Whatever the walk
// over the flash never writes (past the blocks it examines, and for a file with
// addresses the window it steps over) must be 0xFF, erased flash, or the image
// does not fit: an upload must program everything the file holds.
TImageRead ReadImage(const QString& path, const TFlashGeometry& geometry);

// What makes the file at `path` no image for any flash, before a flash range is
// known, as the words that follow the file's name: for an Intel HEX or S-record
// file a fault of its records (": Line 12: ..."), or its size (" Is Larger Than
// 64 MiB"). Empty for a raw image, for a file whose records are sound, and for a
// file that cannot be read (the upload says so then).
QString ImageFileRefusal(const QString& path);

// A parameter file that could not be read to its end; the text names the file
// and the cause.
class EParameterError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The parameter file: opened when the download starts, read whole when its
// first line is wanted, so that every line sent comes from one version of it.
class TParameterFile {
public:
    explicit TParameterFile(const QString& path);

    bool IsOpen() const { return file_.IsOpen(); }
    std::uint64_t Size() const { return file_.Size(); }
    // The file's bytes, read on the first call. Throws EParameterError when it
    // cannot be read (or holds more than `limit` bytes).
    const std::vector<std::uint8_t>& Content(std::uint64_t limit);
    QString Sha256() const { return sha256_; }

private:
    QString path_;
    TReadFile file_;
    bool read_ = false;
    std::vector<std::uint8_t> content_;
    QString sha256_;
};

// SHA-256 of the whole file at `path`, as ReadImage takes it of an image it
// reads (hex, lower case); empty when the file cannot be read to its end, or
// is no regular file.
QString FileSha256(const QString& path);

// SHA-256 of some bytes, as hex.
QString Sha256Of(std::span<const std::uint8_t> bytes);

// The system's description of an error number.
QString SystemText(int error);
