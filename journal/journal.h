#pragma once

// The local journal: every programming session leaves one TJournalRecord in an
// SQLite file on the bench, whether or not the factory server can be reached.
// TJournalForwarder (journalforwarder.h) sends the records on from there.
//
//     TJournal journal(DefaultJournalPath());      // opens, creating when missing
//     TJournalRecord record;
//     record.Id = NewJournalId();
//     record.Started = JournalTimeNow();
//     ...
//     journal.Append(record);                      // durable on return
//     forwarder.RecordAppended();                  // when a forwarder runs
//
// Several TJournal objects, in one process or in several (the window, the
// command-line programmer, a gang of ports), may append to the same file at the
// same time; each waits its turn for up to kJournalBusyTimeout and nothing is
// lost. One TJournal may also be shared by threads: its calls are serialised.
//
// Every failure throws TJournalError, whose text names the file and the cause.
// A failed Append leaves the file as it was: the records before it stay readable.

#include "journalrecord.h"

#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

class TJournalStore;

// How long an Append waits for other writers of the same file before it fails
// with "database is locked".
inline constexpr std::chrono::milliseconds kJournalBusyTimeout{10000};

class TJournalError : public std::runtime_error {
public:
    enum class TStep { Open, Write, Read };

    // "Unable to write to journal /x/journal.sqlite: database or disk is full
    // (errno 28, No space left on device)"
    TJournalError(TStep step, const std::filesystem::path& file, const std::string& cause);

    TStep Step() const { return step_; }
    const std::filesystem::path& File() const { return file_; }
    // SQLite's text, with the system's error number and text where a system call
    // failed.
    const std::string& Cause() const { return cause_; }

private:
    TStep step_;
    std::filesystem::path file_;
    std::string cause_;
};

// $XDG_DATA_HOME/qr740-programmer/journal.sqlite, that is
// ~/.local/share/qr740-programmer/journal.sqlite by default.
std::filesystem::path DefaultJournalPath();

class TJournal {
public:
    // Opens the journal, creating the folder, the file and its table when missing.
    // Throws TJournalError (step Open) when the file cannot be opened for
    // writing: a read-only folder or file, a file that is no journal, a journal
    // written by a newer program.
    explicit TJournal(std::filesystem::path file);
    ~TJournal();
    TJournal(const TJournal&) = delete;
    TJournal& operator=(const TJournal&) = delete;

    const std::filesystem::path& File() const { return file_; }

    // Stores the record and returns once it is on the disk (the file system has
    // been asked to sync it): a power cut after the return does not lose it.
    // Started and Ended must be in JournalTime's form and Id must be new; texts are
    // stored as valid UTF-8 (see journalrecord.h). Throws TJournalError (step
    // Write) and stores nothing then.
    void Append(const TJournalRecord& record);

    // Every record in the order in which it was appended; with `since` (in
    // JournalTime's form, see ParseHistorySince), only those started at or after
    // that moment. Throws TJournalError (step Read).
    std::vector<TJournalRecord> Records(std::string_view since = {}) const;

private:
    std::filesystem::path file_;
    mutable std::mutex mutex_; // one statement at a time on the one connection
    std::unique_ptr<TJournalStore> store_;
};
