#pragma once

// How a record under way is known to belong to a program that is still
// running. Internal to the library.
//
// Every program that writes a journal holds an exclusive flock on a file of its
// own beside it, "journal.sqlite-owner-<uuid>", from before its first record
// under way until it ends, and marks its records under way with that uuid. The
// kernel drops the lock when the process ends, however it ends (SIGKILL, a
// crash; a power cut ends every holder at once). So a record under way whose
// owner's file is gone, or whose lock nobody holds, belongs to a program that
// has ended, and one whose lock is held belongs to a live one:
// - the lock belongs to the open file, not to a process number, so a number
//   used again by another process after a death changes nothing;
// - asking needs only a read-only descriptor of the file: a reader of a
//   read-only journal, or of another user's, asks too;
// - the descriptor is closed on exec, so no child outlives the program with it.
// What cannot be told (a file that cannot be opened for another reason, a file
// system without locks) counts as alive: a record is never taken from a
// program that might still be writing it.

#include <filesystem>
#include <string>
#include <string_view>

class TJournalOwner {
public:
    // Creates the file and takes its lock. Throws TJournalError (step Open).
    explicit TJournalOwner(const std::filesystem::path& journal);
    // Removes the file, then lets the lock go.
    ~TJournalOwner();
    TJournalOwner(const TJournalOwner&) = delete;
    TJournalOwner& operator=(const TJournalOwner&) = delete;

    const std::string& Token() const { return token_; }

private:
    std::filesystem::path file_;
    std::string token_;
    int fd_ = -1;
};

// Whether the program that marked its records with `token` has ended. False
// whenever that cannot be told, and for a token that is no owner's.
bool JournalOwnerGone(const std::filesystem::path& journal, std::string_view token);

// Removes the file of an owner that has ended; nothing when it has not.
void RemoveJournalOwnerFile(const std::filesystem::path& journal, std::string_view token);

// Removes every owner file beside the journal whose program has ended: those of
// programs ended before their first record under way leave no record to name
// them.
void RemoveStaleJournalOwnerFiles(const std::filesystem::path& journal);
