#pragma once

// One connection to the journal's SQLite file: the table, appending, reading,
// the records under way, and the forwarding marks. TJournal and the
// forwarder's thread each hold their own. Not for use by several threads at
// once. Internal to the library.

#include "journal.h"
#include "journalfields.h"
#include "journalrecord.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

struct TJournalStoreOptions {
    // Reading only: nothing is created, migrated or written, and the file is
    // opened read-only (see ReadJournal).
    bool ReadOnly = false;
    // Whether each change is synced to the disk before it returns. Only a
    // forwarding mark may skip it: a mark lost in a power cut makes the record go
    // to the server once more, where it is already and is ignored.
    bool SyncEachChange = true;
    std::chrono::milliseconds BusyTimeout = kJournalBusyTimeout;
    // Asked while waiting for another writer; waiting ends early when it says no.
    std::function<bool()> KeepWaiting;
};

struct TPendingRecord {
    std::int64_t Sequence = 0;
    TJournalRecord Record;
};

struct TUnitSeries;

class TJournalStore {
public:
    TJournalStore(std::filesystem::path file, TJournalStoreOptions options = {});
    ~TJournalStore();
    TJournalStore(const TJournalStore&) = delete;
    TJournalStore& operator=(const TJournalStore&) = delete;

    // A finished record; with `owner`, a record under way marked with its
    // owner's token.
    void Append(const TJournalRecord& record, std::string_view owner = {});
    // Stores `record` over the record under way of `owner` with its id and takes
    // the mark off; false (and nothing stored) when there is none.
    bool Complete(const TJournalRecord& record, std::string_view owner);
    // Takes the next number of `series` and appends `record`, under way for
    // `owner`, as the unit of that number, in one transaction; the unit given.
    // Throws TUnitSeriesUsedUp, storing nothing, when the series is used up.
    std::string AppendWithUnit(TJournalRecord record, std::string_view owner, const TUnitSeries& series);
    // How many numbers of `series` are still to be given.
    std::int64_t UnitsLeft(const TUnitSeries& series);
    // Records under way are shown as the owner left them, or as interrupted once
    // their owner has ended (JournalOwnerGone).
    std::vector<TJournalRecord> Records(const TJournalFilter& filter);
    // Closes as interrupted the records under way of this host's owners that
    // have ended, other than `self`; how many.
    std::size_t CloseAbandoned(std::string_view self);

    // The oldest finished records not yet marked forwarded, in the order of
    // appending.
    std::vector<TPendingRecord> Unforwarded(std::size_t limit);
    std::int64_t CountUnforwarded();
    // Marks these records (sequence numbers) as forwarded.
    void MarkForwarded(const std::vector<std::int64_t>& sequences);

private:
    static int BusyHandler(void* self, int attempt);
    [[noreturn]] void Fail(TJournalError::TStep step, int code) const;
    sqlite3_stmt* Prepare(TJournalError::TStep step, const char* sql) const;
    void Execute(TJournalError::TStep step, const char* sql) const;
    // The layout: refuses what is no journal or a newer one, creates the table
    // of a new journal, and brings an older one up to date (when writing).
    void CheckLayout();
    std::string SelectList() const;
    // The column, or what its rows would hold after the migration when a
    // journal of an earlier layout lacks it.
    std::string ColumnOrDefault(const TJournalField& field) const;
    // Throws TJournalError (step Write) for a record that may not be stored.
    void CheckRecord(const TJournalRecord& record) const;
    std::int64_t NextUnitNumber(const TUnitSeries& series, TJournalError::TStep step);

    std::filesystem::path file_;
    TJournalStoreOptions options_;
    sqlite3* db_ = nullptr;
    sqlite3_stmt* insert_ = nullptr;
    // The table's columns: a journal of an earlier layout, read without being
    // migrated, lacks some.
    std::set<std::string, std::less<>> columns_;
    std::chrono::steady_clock::time_point busySince_;
};

// "errno 13, Permission denied"
std::string SystemErrorText(int number);

// The message of a record closed because its program ended under it.
extern const std::string_view kAbandonedMessage;
