#include "journalstore.h"

#include "journalfields.h"

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

namespace {

using TStep = TJournalError::TStep;

// Raised when the table's layout changes; a file of a later layout is refused
// rather than written in a form its program would not expect.
constexpr int kSchemaVersion = 1;

// The first row of the table is sequence 1; AUTOINCREMENT keeps a number from
// ever being handed out twice, so the order of appending survives deletions.
std::string TableSql()
{
    std::string sql = "CREATE TABLE IF NOT EXISTS sessions (\n"
                      "  seq INTEGER PRIMARY KEY AUTOINCREMENT,\n";
    for (const TJournalField& field : kJournalFields) {
        sql += "  ";
        sql += field.Name;
        sql += field.Kind == TFieldKind::Integer ? " INTEGER NOT NULL" : " TEXT NOT NULL";
        if (field.Name == "id")
            sql += " UNIQUE";
        sql += ",\n";
    }
    sql += "  forwarded TEXT\n);\n"
           "CREATE INDEX IF NOT EXISTS sessions_started ON sessions (started);\n"
           "CREATE INDEX IF NOT EXISTS sessions_unforwarded ON sessions (seq) WHERE forwarded IS NULL;\n";
    return sql;
}

std::string ColumnList()
{
    std::string columns;
    for (const TJournalField& field : kJournalFields) {
        if (!columns.empty())
            columns += ", ";
        columns += field.Name;
    }
    return columns;
}

std::string InsertSql()
{
    std::string sql = "INSERT INTO sessions (" + ColumnList() + ") VALUES (";
    for (std::size_t i = 0; i < kJournalFieldCount; ++i)
        sql += i == 0 ? "?" : ", ?";
    return sql + ")";
}

std::string SystemError(int number)
{
    return "errno " + std::to_string(number) + ", " + std::strerror(number);
}

bool IsFullError(int systemErrno)
{
    return systemErrno == ENOSPC || systemErrno == EDQUOT || systemErrno == EFBIG;
}

// The error number of the system call that failed last on the connection.
// SQLite's own record of it is taken after further calls that may have reset
// errno, so the files' own records are asked too: the write-ahead log's first,
// since every change goes there.
int LastSystemErrno(sqlite3* db)
{
    if (const int recorded = sqlite3_system_errno(db); recorded != 0)
        return recorded;
    sqlite3_file* log = nullptr;
    int fileErrno = 0;
    if (sqlite3_file_control(db, "main", SQLITE_FCNTL_JOURNAL_POINTER, &log) == SQLITE_OK && log && log->pMethods &&
        log->pMethods->xFileControl(log, SQLITE_FCNTL_LAST_ERRNO, &fileErrno) == SQLITE_OK && fileErrno != 0)
        return fileErrno;
    fileErrno = 0;
    if (sqlite3_file_control(db, "main", SQLITE_FCNTL_LAST_ERRNO, &fileErrno) == SQLITE_OK)
        return fileErrno;
    return 0;
}

// Why the file, or its folder where the log and the index must be created, may
// not be written; empty when both may. SQLite tries a read-only open after a
// refused one, so its own error number tells of the retry, not of the refusal.
std::string AccessProblem(const std::filesystem::path& file)
{
    std::error_code ignored;
    if (std::filesystem::exists(file, ignored) &&
        ::faccessat(AT_FDCWD, file.c_str(), R_OK | W_OK, AT_EACCESS) != 0)
        return SystemError(errno);
    const std::filesystem::path folder = file.has_parent_path() ? file.parent_path() : ".";
    if (::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0)
        return "folder " + folder.string() + ": " + SystemError(errno);
    return {};
}

// SQLite's own text for the failure, with the system's error where a system call
// failed. SQLite reports a write refused with EFBIG (a file-size limit) as an
// I/O error; it is the same condition as a full disk to whoever must act on it.
std::string Cause(sqlite3* db, int code, const std::filesystem::path& file)
{
    std::string cause = db ? sqlite3_errmsg(db) : sqlite3_errstr(code);
    const int primary = code & 0xFF;
    if (primary == SQLITE_CANTOPEN || primary == SQLITE_READONLY) {
        const std::string problem = AccessProblem(file);
        if (!problem.empty())
            return cause + " (" + problem + ")";
    }
    // SQLITE_FULL already says what happened (SQLite reports ENOSPC so).
    if (!db || (primary != SQLITE_IOERR && primary != SQLITE_CANTOPEN))
        return cause;
    const int systemErrno = primary == SQLITE_IOERR ? LastSystemErrno(db) : sqlite3_system_errno(db);
    if (systemErrno == 0)
        return cause;
    if (primary == SQLITE_IOERR && IsFullError(systemErrno))
        cause = sqlite3_errstr(SQLITE_FULL);
    return cause + " (" + SystemError(systemErrno) + ")";
}

struct TFinalize {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using TStatementPtr = std::unique_ptr<sqlite3_stmt, TFinalize>;

std::string ColumnText(sqlite3_stmt* statement, int column)
{
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
    return text ? std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(statement, column))) : std::string();
}

// The record's fields from columns `first` onwards, in kJournalFields' order.
TJournalRecord ReadRecord(sqlite3_stmt* statement, int first)
{
    TJournalRecord record;
    int column = first;
    for (const TJournalField& field : kJournalFields) {
        if (field.Kind == TFieldKind::Integer)
            record.*field.IntegerMember = sqlite3_column_int64(statement, column);
        else
            record.*field.TextMember = ColumnText(statement, column);
        ++column;
    }
    return record;
}

// A new file's name is durable only once its folder is synced; SQLite syncs the
// file's content but not the folder that names it.
void SyncFolder(const std::filesystem::path& folder)
{
    const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return; // the records are synced all the same; only a power cut right now could lose the name
    ::fsync(fd);
    ::close(fd);
}

} // namespace

TJournalStore::TJournalStore(std::filesystem::path file, TJournalStoreOptions options)
    : file_(std::move(file)), options_(std::move(options))
{
    std::error_code error;
    const bool existed = std::filesystem::exists(file_, error);
    const std::filesystem::path folder = file_.parent_path();
    if (!folder.empty() && !std::filesystem::is_directory(folder, error)) {
        std::filesystem::create_directories(folder, error);
        if (error)
            throw TJournalError(TStep::Open, file_,
                                "unable to create the folder " + folder.string() + " (" +
                                    SystemError(error.value()) + ")");
    }

    const int code = sqlite3_open_v2(file_.c_str(), &db_,
                                     SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_EXRESCODE, nullptr);
    if (code != SQLITE_OK) {
        const std::string cause = Cause(db_, code, file_);
        sqlite3_close_v2(db_);
        db_ = nullptr;
        throw TJournalError(TStep::Open, file_, cause);
    }
    try {
        sqlite3_busy_handler(db_, &TJournalStore::BusyHandler, this);
        // SQLite falls back to reading when the file may not be written; a journal
        // that cannot take the next record must say so now, not after a session.
        if (sqlite3_db_readonly(db_, "main") == 1)
            throw TJournalError(TStep::Open, file_, Cause(nullptr, SQLITE_READONLY, file_));
        // Write-ahead logging lets readers and the forwarder go on while a writer
        // commits, and a commit is one append and one sync of the log.
        {
            TStatementPtr mode(Prepare(TStep::Open, "PRAGMA journal_mode=WAL"));
            const int stepped = sqlite3_step(mode.get());
            if (stepped != SQLITE_ROW)
                Fail(TStep::Open, stepped);
            const std::string now = ColumnText(mode.get(), 0);
            if (now != "wal")
                throw TJournalError(TStep::Open, file_, "write-ahead logging refused (journal mode " + now + ")");
        }
        Execute(TStep::Open, options_.SyncEachChange ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=NORMAL");
        CreateTable();
        insert_ = Prepare(TStep::Open, InsertSql().c_str());
    } catch (...) {
        sqlite3_close_v2(db_);
        db_ = nullptr;
        throw;
    }
    if (!existed)
        SyncFolder(folder);
}

TJournalStore::~TJournalStore()
{
    sqlite3_finalize(insert_);
    sqlite3_close_v2(db_);
}

int TJournalStore::BusyHandler(void* self, int attempt)
{
    auto* store = static_cast<TJournalStore*>(self);
    const auto now = std::chrono::steady_clock::now();
    if (attempt == 0)
        store->busySince_ = now;
    if (now - store->busySince_ >= store->options_.BusyTimeout)
        return 0;
    if (store->options_.KeepWaiting && !store->options_.KeepWaiting())
        return 0;
    // Short at first, since most waits are one commit of another writer; never
    // longer than 10 ms, so that the turn is taken soon after it comes.
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min(1 << std::min(attempt, 4), 10)));
    return 1;
}

void TJournalStore::Fail(TStep step, int code) const
{
    throw TJournalError(step, file_, Cause(db_, code, file_));
}

sqlite3_stmt* TJournalStore::Prepare(TStep step, const char* sql) const
{
    sqlite3_stmt* statement = nullptr;
    const int code = sqlite3_prepare_v2(db_, sql, -1, &statement, nullptr);
    if (code != SQLITE_OK)
        Fail(step, code);
    return statement;
}

void TJournalStore::Execute(TStep step, const char* sql) const
{
    const int code = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
    if (code != SQLITE_OK)
        Fail(step, code);
}

void TJournalStore::CreateTable()
{
    const auto version = [&] {
        TStatementPtr statement(Prepare(TStep::Open, "PRAGMA user_version"));
        const int stepped = sqlite3_step(statement.get());
        if (stepped != SQLITE_ROW)
            Fail(TStep::Open, stepped);
        return sqlite3_column_int(statement.get(), 0);
    };
    const auto refuseNewer = [&](int found) {
        if (found > kSchemaVersion)
            throw TJournalError(TStep::Open, file_,
                                "the journal was written by a newer program (layout " + std::to_string(found) +
                                    ", this program knows " + std::to_string(kSchemaVersion) + ")");
    };
    int found = version();
    refuseNewer(found);
    if (found == kSchemaVersion)
        return;

    // Several programs may open a new journal at once: the first to take the
    // write lock creates the table, the others find it made.
    Execute(TStep::Open, "BEGIN IMMEDIATE");
    try {
        found = version();
        refuseNewer(found);
        const std::string sql = TableSql() + "PRAGMA user_version=" + std::to_string(kSchemaVersion) + ";";
        Execute(TStep::Open, sql.c_str());
        Execute(TStep::Open, "COMMIT");
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

void TJournalStore::Append(const TJournalRecord& record)
{
    if (record.Id.empty())
        throw TJournalError(TStep::Write, file_, "the record has no id");
    for (const TJournalField& field : kJournalFields)
        if (field.Kind == TFieldKind::Time && !IsJournalTime(record.*field.TextMember))
            throw TJournalError(TStep::Write, file_,
                                "the record's " + std::string(field.Name) + " time \"" +
                                    ValidUtf8(record.*field.TextMember) +
                                    "\" is not in the form 2026-12-10T14:03:22.123Z");

    sqlite3_reset(insert_);
    sqlite3_clear_bindings(insert_);
    int parameter = 1;
    for (const TJournalField& field : kJournalFields) {
        if (field.Kind == TFieldKind::Integer) {
            sqlite3_bind_int64(insert_, parameter, record.*field.IntegerMember);
        } else {
            const std::string text = ValidUtf8(record.*field.TextMember);
            sqlite3_bind_text(insert_, parameter, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
        }
        ++parameter;
    }
    // One statement outside any transaction: SQLite commits it (and syncs the
    // log) before sqlite3_step returns, or rolls it back whole.
    const int code = sqlite3_step(insert_);
    if (code != SQLITE_DONE) {
        const std::string cause = Cause(db_, code, file_);
        sqlite3_reset(insert_);
        throw TJournalError(TStep::Write, file_, cause);
    }
    sqlite3_reset(insert_);
}

std::vector<TJournalRecord> TJournalStore::Records(std::string_view since)
{
    if (!since.empty() && !IsJournalTime(since))
        throw TJournalError(TStep::Read, file_,
                            "\"" + ValidUtf8(since) + "\" is not a time in the form 2026-12-10T14:03:22.123Z");
    const std::string sql = "SELECT " + ColumnList() + " FROM sessions" +
                            (since.empty() ? "" : " WHERE started >= ?1") + " ORDER BY seq";
    TStatementPtr statement(Prepare(TStep::Read, sql.c_str()));
    if (!since.empty())
        sqlite3_bind_text(statement.get(), 1, since.data(), static_cast<int>(since.size()), SQLITE_TRANSIENT);
    std::vector<TJournalRecord> records;
    int code;
    while ((code = sqlite3_step(statement.get())) == SQLITE_ROW)
        records.push_back(ReadRecord(statement.get(), 0));
    if (code != SQLITE_DONE)
        Fail(TStep::Read, code);
    return records;
}

std::vector<TPendingRecord> TJournalStore::Unforwarded(std::size_t limit)
{
    const std::string sql =
        "SELECT seq, " + ColumnList() + " FROM sessions WHERE forwarded IS NULL ORDER BY seq LIMIT ?1";
    TStatementPtr statement(Prepare(TStep::Read, sql.c_str()));
    sqlite3_bind_int64(statement.get(), 1, static_cast<sqlite3_int64>(limit));
    std::vector<TPendingRecord> pending;
    int code;
    while ((code = sqlite3_step(statement.get())) == SQLITE_ROW)
        pending.push_back({sqlite3_column_int64(statement.get(), 0), ReadRecord(statement.get(), 1)});
    if (code != SQLITE_DONE)
        Fail(TStep::Read, code);
    return pending;
}

std::int64_t TJournalStore::CountUnforwarded()
{
    TStatementPtr statement(Prepare(TStep::Read, "SELECT count(*) FROM sessions WHERE forwarded IS NULL"));
    const int code = sqlite3_step(statement.get());
    if (code != SQLITE_ROW)
        Fail(TStep::Read, code);
    return sqlite3_column_int64(statement.get(), 0);
}

void TJournalStore::MarkForwarded(std::int64_t first, std::int64_t last)
{
    TStatementPtr statement(Prepare(
        TStep::Write, "UPDATE sessions SET forwarded = ?1 WHERE seq BETWEEN ?2 AND ?3 AND forwarded IS NULL"));
    const std::string now = JournalTimeNow();
    sqlite3_bind_text(statement.get(), 1, now.data(), static_cast<int>(now.size()), SQLITE_TRANSIENT);
    sqlite3_bind_int64(statement.get(), 2, first);
    sqlite3_bind_int64(statement.get(), 3, last);
    const int code = sqlite3_step(statement.get());
    if (code != SQLITE_DONE)
        Fail(TStep::Write, code);
}
