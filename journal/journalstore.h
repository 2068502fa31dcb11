#pragma once

// One connection to the journal's SQLite file: the table, appending, reading,
// and the forwarding marks. TJournal and the forwarder's thread each hold their
// own. Not for use by several threads at once. Internal to the library.

#include "journal.h"
#include "journalrecord.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string_view>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

struct TJournalStoreOptions {
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

class TJournalStore {
public:
    TJournalStore(std::filesystem::path file, TJournalStoreOptions options = {});
    ~TJournalStore();
    TJournalStore(const TJournalStore&) = delete;
    TJournalStore& operator=(const TJournalStore&) = delete;

    void Append(const TJournalRecord& record);
    std::vector<TJournalRecord> Records(std::string_view since);

    // The oldest records not yet marked forwarded, in the order of appending.
    std::vector<TPendingRecord> Unforwarded(std::size_t limit);
    std::int64_t CountUnforwarded();
    // Marks the records from `first` to `last` (sequence numbers) as forwarded.
    void MarkForwarded(std::int64_t first, std::int64_t last);

private:
    static int BusyHandler(void* self, int attempt);
    [[noreturn]] void Fail(TJournalError::TStep step, int code) const;
    sqlite3_stmt* Prepare(TJournalError::TStep step, const char* sql) const;
    void Execute(TJournalError::TStep step, const char* sql) const;
    void CreateTable();

    std::filesystem::path file_;
    TJournalStoreOptions options_;
    sqlite3* db_ = nullptr;
    sqlite3_stmt* insert_ = nullptr;
    std::chrono::steady_clock::time_point busySince_;
};
