#include "flashoutput.h"

#include <cerrno>

TFlashOutput::TFlashOutput(std::FILE* out, std::FILE* err) : out_(out), err_(err)
{
    writer_ = std::thread([this] { Run(); });
}

TFlashOutput::~TFlashOutput()
{
    Drain();
    {
        const std::lock_guard guard(lock_);
        stop_ = true;
    }
    changed_.notify_all();
    writer_.join();
}

void TFlashOutput::Write(std::string_view text)
{
    Put({out_, std::string(text), {}});
}

void TFlashOutput::WriteError(std::string_view text)
{
    Put({err_, std::string(text), {}});
}

void TFlashOutput::WriteProgress(std::string_view key, std::string_view text)
{
    if (closed_)
        return;
    {
        const std::lock_guard guard(lock_);
        // Only among the progress at the queue's end: one before a kept piece
        // must stay before it, or a redraw of the block would land after the
        // message it was drawn under.
        for (auto it = queue_.rbegin(); it != queue_.rend() && !it->progressKey.empty(); ++it) {
            if (it->progressKey == key) {
                it->text = text;
                return;
            }
        }
        queue_.push_back({out_, std::string(text), std::string(key)});
    }
    changed_.notify_all();
}

void TFlashOutput::Put(TPiece piece)
{
    if (piece.file == out_ && closed_)
        return;
    {
        const std::lock_guard guard(lock_);
        queue_.push_back(std::move(piece));
    }
    changed_.notify_all();
}

void TFlashOutput::Drain()
{
    std::unique_lock guard(lock_);
    changed_.wait(guard, [this] { return queue_.empty() && !busy_; });
}

void TFlashOutput::Run()
{
    std::unique_lock guard(lock_);
    for (;;) {
        changed_.wait(guard, [this] { return stop_ || !queue_.empty(); });
        if (queue_.empty())
            return; // stopped, with nothing left to write
        TPiece piece = std::move(queue_.front());
        queue_.pop_front();
        busy_ = true;
        guard.unlock();
        const bool open = WritePiece(piece);
        guard.lock();
        busy_ = false;
        if (!open && !closed_.exchange(true)) {
            // What waits for standard output has no reader; standard error's
            // pieces are still written.
            std::erase_if(queue_, [this](const TPiece& p) { return p.file == out_; });
            QMetaObject::invokeMethod(
                &owner_, [this] { if (OnClosed) OnClosed(); }, Qt::QueuedConnection);
        }
        changed_.notify_all();
    }
}

bool TFlashOutput::WritePiece(const TPiece& piece)
{
    if (piece.file == out_ && closed_)
        return false;
    // Each piece whole and at once: a reader follows the output as it comes,
    // a script's pipe included.
    errno = 0;
    const bool written = std::fwrite(piece.text.data(), 1, piece.text.size(), piece.file) == piece.text.size() &&
                         std::fflush(piece.file) == 0;
    if (written)
        return true;
    const int error = errno;
    std::clearerr(piece.file);
    // Any other failure (a full disk under a redirection) loses that piece
    // only; the records are in the journal, and the run goes on. Standard
    // error that has no reader is not a reason to stop programming.
    return !(error == EPIPE && piece.file == out_);
}
