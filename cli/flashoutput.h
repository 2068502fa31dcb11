#pragma once

// qr740-flash's standard output. Everything the program prints there goes
// through here, so that how it is written is decided in one place.
//
// A reader that has gone (`qr740-flash --json | head`) is noticed here: the
// program ignores SIGPIPE, so a write fails with EPIPE instead of killing it in
// the middle of its controllers; writing stops, and OnClosed is called once, so
// that the run ends as on SIGTERM.

#include <cstdio>
#include <functional>
#include <string_view>

class TFlashOutput {
public:
    explicit TFlashOutput(std::FILE* file) : file_(file) {}

    // Writes `text`; with `flush`, hands it to the system at once, for a
    // reader that follows the output as it comes.
    void Write(std::string_view text, bool flush = false);
    void Flush();
    // The reader has gone: nothing more is written.
    bool Closed() const { return closed_; }
    std::function<void()> OnClosed;

private:
    // After a failed write or flush, with its errno.
    void Failed(int error);

    std::FILE* file_;
    bool closed_ = false;
};
