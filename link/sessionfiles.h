#pragma once

// Reading the files a session sends: the target loader, the firmware image and
// the parameter file. Every file is opened without blocking, so that a fifo or a
// device named by mistake cannot hang the programmer, and each read reports what
// went wrong in terms the operator's message can use.

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

// The firmware image as an upload takes it: the part that the flash range covers.
struct TImageRead {
    enum TStatus : std::uint8_t {
        Read,
        Unreadable,  // missing, not permitted, or failing to read
        NotAFile,    // a fifo, a device, a folder: nothing that holds an image
        Empty,       // 0 bytes: an upload would erase the flash and write nothing
        DoesNotFit,  // bytes past the range that are not 0xFF would be dropped
    };
    TStatus Status = Unreadable;
    std::vector<std::uint8_t> Bytes; // the first `covered` bytes at most
    std::uint64_t FileSize = 0;      // the whole file, as read
    QString Sha256;                  // of the whole file, as read; hex
};

// Reads the image at `path` for a flash range whose blocks cover `covered` bytes
// from its start. Bytes past that must all be 0xFF (erased flash), or the image
// does not fit: what an upload leaves out of the image must be what erasing
// leaves behind.
TImageRead ReadImage(const QString& path, std::uint64_t covered);

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

// SHA-256 of some bytes, as hex.
QString Sha256Of(std::span<const std::uint8_t> bytes);

// The system's description of an error number.
QString SystemText(int error);
