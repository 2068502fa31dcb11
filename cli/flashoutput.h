#pragma once

// qr740-flash's standard output and standard error. Everything the program
// prints goes through here, and is written by a thread of its own: a terminal
// paused with Ctrl-S, or a reader that falls behind, holds up that thread and
// never the ports' conversations, which hand their text over and go on.
//
// What is handed over is kept, in order, until it can be written, except
// progress: a progress text takes the place of the same port's progress that
// is still waiting to be written, so that a stalled output holds at most one
// of each. Stages, errors, controllers and the end are never dropped.
//
// A reader that has gone (`qr740-flash --json | head`) is noticed here: the
// program ignores SIGPIPE, so a write fails with EPIPE instead of killing it in
// the middle of its controllers; writing to standard output stops, and
// OnClosed is called once, on the thread that made the output, so that the
// run ends as on SIGTERM.

#include <QObject>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

class TFlashOutput {
public:
    TFlashOutput(std::FILE* out, std::FILE* err);
    // Writes what is still waiting first.
    ~TFlashOutput();
    TFlashOutput(const TFlashOutput&) = delete;
    TFlashOutput& operator=(const TFlashOutput&) = delete;

    // To standard output, kept until written.
    void Write(std::string_view text);
    // To standard output; replaces the progress of the same `key` (a port, or
    // the whole status block) that has not been written yet, unless something
    // kept has been handed over since.
    void WriteProgress(std::string_view key, std::string_view text);
    // To standard error, kept, in order with standard output.
    void WriteError(std::string_view text);
    // Waits until everything handed over is written, or standard output's
    // reader has gone; for the end of the program.
    void Drain();

    // The reader has gone: nothing more is written to standard output.
    bool Closed() const { return closed_; }
    std::function<void()> OnClosed;

private:
    struct TPiece {
        std::FILE* file;
        std::string text;
        std::string progressKey; // empty: kept
    };
    void Put(TPiece piece);
    void Run();
    // Writes one piece; false when standard output's reader has gone.
    bool WritePiece(const TPiece& piece);

    std::FILE* out_;
    std::FILE* err_;
    std::atomic<bool> closed_{false};
    // OnClosed is called through this, on the thread that made the output.
    QObject owner_;

    std::mutex lock_; // guards queue_, busy_ and stop_
    std::condition_variable changed_;
    std::deque<TPiece> queue_;
    bool busy_ = false; // a piece taken off the queue is being written
    bool stop_ = false;
    std::thread writer_;
};
