#pragma once

// The local journal: every programming session leaves one TJournalRecord in an
// SQLite file on the bench, whether or not the factory server can be reached.
// TJournalForwarder (journalforwarder.h) sends the records on from there.
//
//     TJournal journal(file);                      // opens, creating the file when missing
//     TJournalRecord record;
//     record.Id = NewJournalId();
//     record.Started = JournalTimeNow();
//     ...
//     journal.Begin(record);                       // the controller has announced itself
//     ...
//     journal.Append(record);                      // finished; durable on return
//     forwarder.RecordAppended();                  // when a forwarder runs
//
//     ReadJournal(file);                           // --history: reading only
//
// Several TJournal objects, in one process or in several (the window, the
// command-line programmer, a gang of ports), may append to the same file at the
// same time; each waits its turn for up to its busy time-out and nothing is
// lost. One TJournal may also be shared by threads: its calls are serialised.
//
// A record begun and not appended is under way. When its program ends without
// finishing it (SIGKILL, a crash, a power cut), it is shown as interrupted by
// every reader, and the next TJournal to write closes it so, after which it is
// forwarded. A record of a program still running is never touched: each
// TJournal holds a lock of its own for its life (journalowner.h).
//
// Every failure throws TJournalError, whose text names the file and the cause.
// A failed Append leaves the file as it was: the records before it stay readable.

#include "journalrecord.h"
#include "unitseries.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

class TJournalOwner;
class TJournalStore;

// Which records a reader wants: those that match every field given; an empty
// field keeps every record.
struct TJournalFilter {
    std::string Since; // JournalTime's form: started at or after this moment
    // "COM3" in any letter case: the records of that COM number; anything else
    // is a device path, matched as the record holds it.
    std::string Port;
    // One of the kOutcome... texts, as a reader sees it (a record under way
    // whose program has ended is interrupted); kOutcomeProgrammed takes both
    // programmed outcomes, with parameters or without.
    std::string Outcome;
    std::string Unit;           // exactly
    std::string Identification; // exactly
};

// How long an Append waits for other writers of the same file before it fails
// with "database is locked".
inline constexpr std::chrono::milliseconds kJournalBusyTimeout{10000};

struct TJournalOptions {
    std::chrono::milliseconds BusyTimeout = kJournalBusyTimeout;
    // Asked while waiting for another writer; waiting ends early (and the call
    // fails) when it says no.
    std::function<bool()> KeepWaiting;
};

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

class TJournal {
public:
    // Opens the journal for writing, creating the file and its table when
    // missing (not its folder), and migrating a journal of an earlier layout.
    // Throws TJournalError (step Open) when the file cannot be opened for
    // writing: a read-only or missing folder, a read-only file, a file that is
    // no journal, a journal written by a newer program.
    explicit TJournal(std::filesystem::path file, TJournalOptions options = {});
    ~TJournal();
    TJournal(const TJournal&) = delete;
    TJournal& operator=(const TJournal&) = delete;

    const std::filesystem::path& File() const { return file_; }

    // Stores the record as under way (its Outcome is kOutcomeUnderWay whatever
    // it says), durable on return. Append with the same id finishes it. Throws
    // TJournalError (step Write) and stores nothing then.
    void Begin(const TJournalRecord& record);
    // Begin for a unit given the next number of `series`, taken in the same
    // transaction: the record's Unit is that number's text, which is returned.
    // Throws TUnitSeriesUsedUp when none is left, or TJournalError, and then
    // neither takes a number nor stores anything.
    std::string BeginWithUnit(const TJournalRecord& record, const TUnitSeries& series);
    // How many numbers of `series` are still to be given. Throws TJournalError.
    std::int64_t UnitsLeft(const TUnitSeries& series) const;
    // Stores the record, finished, and returns once it is on the disk (the file
    // system has been asked to sync it): a power cut after the return does not
    // lose it. A record begun by this TJournal is finished in its place;
    // otherwise the Id must be new. Started and Ended must be in JournalTime's
    // form; texts are stored as valid UTF-8 (see journalrecord.h). Throws
    // TJournalError (step Write) and stores nothing then.
    void Append(const TJournalRecord& record);
    // Closes as interrupted the records left under way by programs of this host
    // that have ended, and returns how many. Begin and Append do it too, after
    // their own record. Throws TJournalError (step Write).
    std::size_t CloseAbandoned();

    // Every record in the order in which it was begun or appended; with `since`
    // (in JournalTime's form, see ParseHistorySince), only those started at or
    // after that moment. Throws TJournalError (step Read).
    std::vector<TJournalRecord> Records(std::string_view since = {}) const;
    std::vector<TJournalRecord> Records(const TJournalFilter& filter) const;
    // The finished records not yet on the server. Throws TJournalError (step
    // Read).
    std::int64_t CountUnforwarded() const;

private:
    void CloseAbandonedQuietly();

    std::filesystem::path file_;
    mutable std::mutex mutex_; // one statement at a time on the one connection
    std::unique_ptr<TJournalStore> store_;
    std::unique_ptr<TJournalOwner> owner_;
    std::set<std::string> begun_; // ids under way
};

// The journal's records as TJournal::Records gives them, read without writing
// anything: the file is opened read-only, so a read-only file or folder and
// another user's journal can be read, and a journal of an earlier layout is
// read as it stands. Throws TJournalError (step Read) naming the file when it
// does not exist or is "not a journal" (an empty file, text, another program's
// SQLite database), which is then left exactly as it was.
std::vector<TJournalRecord> ReadJournal(const std::filesystem::path& file, std::string_view since = {});
// The same, only the records `filter` keeps.
std::vector<TJournalRecord> ReadJournal(const std::filesystem::path& file, const TJournalFilter& filter);

// How many numbers of `series` the journal has still to give, read as
// ReadJournal reads. Throws TJournalError.
std::int64_t UnitsLeftIn(const std::filesystem::path& file, const TUnitSeries& series);
