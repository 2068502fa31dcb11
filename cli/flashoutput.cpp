#include "flashoutput.h"

#include <cerrno>

void TFlashOutput::Write(std::string_view text, bool flush)
{
    if (closed_)
        return;
    if (std::fwrite(text.data(), 1, text.size(), file_) != text.size()) {
        Failed(errno);
        return;
    }
    if (flush)
        Flush();
}

void TFlashOutput::Flush()
{
    if (!closed_ && std::fflush(file_) != 0)
        Failed(errno);
}

void TFlashOutput::Failed(int error)
{
    std::clearerr(file_);
    // Any other failure (a full disk under a redirection) loses that output
    // only; the records are in the journal, and the run goes on.
    if (error != EPIPE)
        return;
    closed_ = true;
    if (OnClosed)
        OnClosed();
}
