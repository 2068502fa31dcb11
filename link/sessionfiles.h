#pragma once

// Reading the files a session sends: the target loader, the firmware image and
// the parameter file. Every file is opened without blocking, so that a fifo or a
// device named by mistake cannot hang the programmer, and each read reports what
// went wrong in terms the operator's message can use.

#include <QString>

#include <array>
#include <cstdint>
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

// The parameter file, read a buffer at a time and handed out a byte at a time.
class TParameterFile {
public:
    explicit TParameterFile(const QString& path);

    bool IsOpen() const { return file_.IsOpen(); }
    std::uint64_t Size() const { return file_.Size(); }
    // The next byte, or -1 at the end of the file. Throws EParameterError when it
    // cannot be read.
    int ReadByte();

private:
    QString path_;
    TReadFile file_;
    std::array<std::uint8_t, 4096> buffer_{};
    std::size_t next_ = 0;
    std::size_t end_ = 0;
};

// The system's description of an error number.
QString SystemText(int error);
