#include "journalowner.h"

#include "journal.h"
#include "journalrecord.h"
#include "journalstore.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

constexpr std::string_view kOwnerInfix = "-owner-";
// The name a new owner file has until its lock is taken (see TJournalOwner).
constexpr std::string_view kUnlockedSuffix = ".new";
// A scan may hold a file's lock for a moment while a new owner takes it.
constexpr int kOwnerAttempts = 5;

// A token read from the journal becomes part of a path: only NewJournalId's
// form is taken, so that no text in a record can name another file.
bool IsToken(std::string_view token)
{
    if (token.size() != 36)
        return false;
    for (std::size_t i = 0; i < token.size(); ++i) {
        const char c = token[i];
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

std::filesystem::path OwnerFile(const std::filesystem::path& journal, std::string_view token)
{
    return std::filesystem::path(journal.string() + std::string(kOwnerInfix) + std::string(token));
}

// Removes `file` when nobody holds its lock: the lock is held while it goes, so
// that a program cannot take it in between.
void RemoveUnlocked(const std::filesystem::path& file)
{
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return;
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
        ::unlink(file.c_str());
    ::close(fd);
}

} // namespace

TJournalOwner::TJournalOwner(const std::filesystem::path& journal)
{
    // The file is made and locked under a name no reader asks about, then
    // given its own: a file under the owner's name is locked from the moment it
    // is there, so that nobody finds it free and takes it for a dead owner's.
    for (int attempt = 0; attempt < kOwnerAttempts; ++attempt) {
        token_ = NewJournalId();
        file_ = OwnerFile(journal, token_);
        const std::filesystem::path unlocked(file_.string() + std::string(kUnlockedSuffix));
        // 0644: readers of the journal, other users among them, ask for the lock
        // through a read-only descriptor.
        const int fd = ::open(unlocked.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0644);
        if (fd < 0)
            throw TJournalError(TJournalError::TStep::Open, journal,
                                "unable to create " + unlocked.string() + " (" + SystemErrorText(errno) + ")");
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            // A scan of stale files holds it for a moment; a new name is simpler
            // than waiting.
            ::close(fd);
            ::unlink(unlocked.c_str());
            continue;
        }
        // For a person who finds the file: whose it is.
        char note[160];
        const int length = std::snprintf(note, sizeof note, "qr740 journal owner: process %ld on %s since %s\n",
                                         static_cast<long>(::getpid()), LocalHostName().c_str(),
                                         JournalTimeNow().c_str());
        [[maybe_unused]] const auto written = ::write(fd, note, static_cast<std::size_t>(std::max(length, 0)));
        if (::rename(unlocked.c_str(), file_.c_str()) == 0) {
            fd_ = fd;
            return;
        }
        const int error = errno;
        ::close(fd);
        // A scan found the file unlocked before the lock was taken, and removed it.
        if (error == ENOENT)
            continue;
        ::unlink(unlocked.c_str());
        throw TJournalError(TJournalError::TStep::Open, journal,
                            "unable to create " + file_.string() + " (" + SystemErrorText(error) + ")");
    }
    throw TJournalError(TJournalError::TStep::Open, journal,
                        "unable to lock a file of its own beside the journal after " +
                            std::to_string(kOwnerAttempts) + " attempts");
}

TJournalOwner::~TJournalOwner()
{
    // Removed first: a reader who finds no file, or a free lock, draws the same
    // conclusion, and the records still under way are indeed left so.
    ::unlink(file_.c_str());
    ::close(fd_);
}

bool JournalOwnerGone(const std::filesystem::path& journal, std::string_view token)
{
    if (!IsToken(token))
        return false;
    const std::filesystem::path file = OwnerFile(journal, token);
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return errno == ENOENT;
    // Shared, so that two readers asking at once do not take each other for
    // the owner.
    const bool free = ::flock(fd, LOCK_SH | LOCK_NB) == 0;
    ::close(fd);
    return free;
}

void RemoveJournalOwnerFile(const std::filesystem::path& journal, std::string_view token)
{
    if (IsToken(token))
        RemoveUnlocked(OwnerFile(journal, token));
}

void RemoveStaleJournalOwnerFiles(const std::filesystem::path& journal)
{
    const std::string prefix = journal.filename().string() + std::string(kOwnerInfix);
    const std::filesystem::path folder = journal.has_parent_path() ? journal.parent_path() : ".";
    // A file that stays (the folder cannot be read, or a file not removed) is
    // only clutter; the next program to open the journal tries again.
    std::error_code error;
    for (std::filesystem::directory_iterator entry(folder, error), end; !error && entry != end;
         entry.increment(error)) {
        const std::string name = entry->path().filename().string();
        if (!name.starts_with(prefix))
            continue;
        std::string_view token = std::string_view(name).substr(prefix.size());
        if (token.ends_with(kUnlockedSuffix))
            token.remove_suffix(kUnlockedSuffix.size());
        if (IsToken(token))
            RemoveUnlocked(entry->path());
    }
}
