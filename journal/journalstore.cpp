#include "journalstore.h"

#include "journalfields.h"

#include "journalowner.h"
#include "unitseries.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using TStep = TJournalError::TStep;

// Raised when the table's layout changes; a file of a later layout is refused
// rather than written in a form its program would not expect.
constexpr int kSchemaVersion = 3;

// A unit's whole history is one lookup. unit_series holds, for each series a
// bench gives numbers from (known by its format), the next number to give.
constexpr const char* kUnitIndexSql = "CREATE INDEX IF NOT EXISTS sessions_unit ON sessions (unit);\n"
                                      "CREATE TABLE IF NOT EXISTS unit_series (\n"
                                      "  format TEXT PRIMARY KEY,\n"
                                      "  next INTEGER NOT NULL\n"
                                      ");\n";

// The name the layout's check gives a file it will not take for a journal.
constexpr const char* kNotAJournal = "not a journal";

std::string ColumnType(const TJournalField& field)
{
    std::string type = field.Kind == TFieldKind::Integer ? "INTEGER NOT NULL" : "TEXT NOT NULL";
    // A column added to a table that holds rows needs a value for them.
    if (field.Layout > 1)
        type += field.Kind == TFieldKind::Integer ? " DEFAULT 0" : " DEFAULT ''";
    return type;
}

// The first row of the table is sequence 1; AUTOINCREMENT keeps a number from
// ever being handed out twice, so the order of appending survives deletions.
// `owner` marks a record under way with its program's token (journalowner.h)
// and is NULL once the record is finished; `forwarded` is NULL until the
// server has the record. Neither leaves the bench.
std::string TableSql()
{
    std::string sql = "CREATE TABLE IF NOT EXISTS sessions (\n"
                      "  seq INTEGER PRIMARY KEY AUTOINCREMENT,\n";
    for (const TJournalField& field : kJournalFields) {
        sql += "  ";
        sql += field.Name;
        sql += " " + ColumnType(field);
        if (field.Name == "id")
            sql += " UNIQUE";
        sql += ",\n";
    }
    sql += "  forwarded TEXT,\n  owner TEXT\n);\n"
           "CREATE INDEX IF NOT EXISTS sessions_started ON sessions (started);\n"
           "CREATE INDEX IF NOT EXISTS sessions_unforwarded ON sessions (seq) WHERE forwarded IS NULL;\n"
           "CREATE INDEX IF NOT EXISTS sessions_open ON sessions (owner) WHERE owner IS NOT NULL;\n" +
           std::string(kUnitIndexSql);
    return sql;
}

// From layout `from` to kSchemaVersion; the rows keep every field they had.
std::string MigrationSql(int from)
{
    std::string sql;
    for (const TJournalField& field : kJournalFields) {
        if (field.Layout > from)
            sql += "ALTER TABLE sessions ADD COLUMN " + std::string(field.Name) + " " + ColumnType(field) + ";\n";
    }
    if (from < 2)
        sql += "ALTER TABLE sessions ADD COLUMN owner TEXT;\n"
               "CREATE INDEX IF NOT EXISTS sessions_open ON sessions (owner) WHERE owner IS NOT NULL;\n";
    if (from < 3)
        sql += kUnitIndexSql;
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
    std::string sql = "INSERT INTO sessions (" + ColumnList() + ", owner) VALUES (";
    for (std::size_t i = 0; i <= kJournalFieldCount; ++i)
        sql += i == 0 ? "?" : ", ?";
    return sql + ")";
}

// Every field from the record, the mark taken off; the record is the owner's
// one under way with this id.
std::string CompleteSql()
{
    std::string sql = "UPDATE sessions SET ";
    for (std::size_t i = 0; i < kJournalFieldCount; ++i)
        sql += std::string(kJournalFields[i].Name) + " = ?" + std::to_string(i + 1) + ", ";
    const std::string id = std::to_string(kJournalFieldCount + 1);
    const std::string owner = std::to_string(kJournalFieldCount + 2);
    return sql + "owner = NULL WHERE id = ?" + id + " AND owner = ?" + owner;
}

// A path as an SQLite URI, for the parameters only a URI can carry.
std::string FileUri(const std::filesystem::path& file)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string uri = "file:";
    for (const char c : file.string()) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || (byte >= '0' && byte <= '9') ||
            c == '/' || c == '-' || c == '.' || c == '_' || c == '~') {
            uri += c;
        } else {
            uri += '%';
            uri += kHex[byte >> 4];
            uri += kHex[byte & 0x0F];
        }
    }
    return uri;
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
// not be written (or, `reading`, why the file may not be read); empty when they
// may. SQLite tries a read-only open after a refused one, so its own error
// number tells of the retry, not of the refusal.
std::string AccessProblem(const std::filesystem::path& file, bool reading)
{
    if (reading)
        return ::faccessat(AT_FDCWD, file.c_str(), R_OK, AT_EACCESS) != 0 ? SystemErrorText(errno) : std::string();
    std::error_code ignored;
    if (std::filesystem::exists(file, ignored) &&
        ::faccessat(AT_FDCWD, file.c_str(), R_OK | W_OK, AT_EACCESS) != 0)
        return SystemErrorText(errno);
    const std::filesystem::path folder = file.has_parent_path() ? file.parent_path() : ".";
    if (::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0)
        return "folder " + folder.string() + ": " + SystemErrorText(errno);
    return {};
}

// SQLite's own text for the failure, with the system's error where a system call
// failed. A file that is no database at all is no journal. SQLite reports a write refused with EFBIG (a file-size limit) as an
// I/O error; it is the same condition as a full disk to whoever must act on it.
std::string Cause(sqlite3* db, int code, const std::filesystem::path& file, bool reading)
{
    std::string cause = db ? sqlite3_errmsg(db) : sqlite3_errstr(code);
    const int primary = code & 0xFF;
    if (primary == SQLITE_NOTADB)
        return std::string(kNotAJournal) + " (" + cause + ")";
    if (primary == SQLITE_CANTOPEN || primary == SQLITE_READONLY) {
        const std::string problem = AccessProblem(file, reading);
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
    return cause + " (" + SystemErrorText(systemErrno) + ")";
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

// Binds the record's fields to parameters 1 onwards, in kJournalFields' order,
// texts as valid UTF-8; returns the next parameter's number.
int BindRecord(sqlite3_stmt* statement, const TJournalRecord& record)
{
    int parameter = 1;
    for (const TJournalField& field : kJournalFields) {
        if (field.Kind == TFieldKind::Integer) {
            sqlite3_bind_int64(statement, parameter, record.*field.IntegerMember);
        } else {
            const std::string text = ValidUtf8(record.*field.TextMember);
            sqlite3_bind_text(statement, parameter, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
        }
        ++parameter;
    }
    return parameter;
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

const std::string_view kAbandonedMessage =
    "The programmer ended during the session (killed, crashed or powered off) and left it unfinished";

std::string SystemErrorText(int number)
{
    return "errno " + std::to_string(number) + ", " + std::strerror(number);
}

TJournalStore::TJournalStore(std::filesystem::path file, TJournalStoreOptions options)
    : file_(std::move(file)), options_(std::move(options))
{
    const TStep step = options_.ReadOnly ? TStep::Read : TStep::Open;
    std::error_code error;
    const bool existed = std::filesystem::exists(file_, error);
    std::string name = file_.string();
    int flags = SQLITE_OPEN_EXRESCODE;
    if (options_.ReadOnly) {
        // Reading makes nothing: not the file, and not a journal of a file that
        // is none.
        struct stat status {};
        if (::stat(file_.c_str(), &status) != 0)
            throw TJournalError(step, file_, "the file does not exist (" + SystemErrorText(errno) + ")");
        if (S_ISDIR(status.st_mode))
            throw TJournalError(step, file_, std::string(kNotAJournal) + " (a folder)");
        // Without a write-ahead log no program has the journal open (every
        // connection keeps the log while it lives), so the file alone holds it
        // all and is read as it stands. Otherwise SQLite would make the log and
        // its index beside it, which a read-only folder refuses and any other
        // keeps. A writer that starts meanwhile changes nothing under the
        // reader: it only writes into the file after 1000 pages of log.
        std::filesystem::path log = file_;
        log += "-wal";
        name = FileUri(file_) + (std::filesystem::exists(log, error) ? "?mode=ro" : "?mode=ro&immutable=1");
        flags |= SQLITE_OPEN_READONLY | SQLITE_OPEN_URI;
    } else {
        flags |= SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
    }
    const int code = sqlite3_open_v2(name.c_str(), &db_, flags, nullptr);
    if (code != SQLITE_OK) {
        const std::string cause = Cause(db_, code, file_, options_.ReadOnly);
        sqlite3_close_v2(db_);
        db_ = nullptr;
        throw TJournalError(step, file_, cause);
    }
    try {
        sqlite3_busy_handler(db_, &TJournalStore::BusyHandler, this);
        if (options_.ReadOnly) {
            // A reader that ends last would otherwise fold the log into the file.
            sqlite3_db_config(db_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
        } else if (sqlite3_db_readonly(db_, "main") == 1) {
            // SQLite falls back to reading when the file may not be written; a
            // journal that cannot take the next record must say so now, not
            // after a session.
            throw TJournalError(step, file_, Cause(nullptr, SQLITE_READONLY, file_, false));
        }
        CheckLayout();
        if (!options_.ReadOnly)
            insert_ = Prepare(step, InsertSql().c_str());
    } catch (...) {
        sqlite3_finalize(insert_);
        insert_ = nullptr;
        sqlite3_close_v2(db_);
        db_ = nullptr;
        throw;
    }
    if (!existed && !options_.ReadOnly)
        SyncFolder(file_.parent_path());
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
    throw TJournalError(step, file_, Cause(db_, code, file_, options_.ReadOnly));
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

void TJournalStore::CheckLayout()
{
    const TStep step = options_.ReadOnly ? TStep::Read : TStep::Open;
    const auto number = [&](const char* sql) {
        TStatementPtr statement(Prepare(step, sql));
        const int stepped = sqlite3_step(statement.get());
        if (stepped != SQLITE_ROW)
            Fail(step, stepped);
        return sqlite3_column_int(statement.get(), 0);
    };
    const auto notAJournal = [&](const std::string& why) {
        throw TJournalError(step, file_, std::string(kNotAJournal) + " (" + why + ")");
    };
    struct TLayout {
        int version = 0;
        bool table = false; // the sessions table is there
        int objects = 0;    // tables, indexes and the like of any kind
    };
    const auto layout = [&] {
        return TLayout{number("PRAGMA user_version"),
                       number("SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = 'sessions'") > 0,
                       number("SELECT count(*) FROM sqlite_master")};
    };
    // Another program's database is left as it was, also by a writer: a table
    // of ours would only make it look like a journal.
    const auto refuse = [&](const TLayout& found) {
        if (found.table && found.version > kSchemaVersion)
            throw TJournalError(step, file_,
                                "the journal was written by a newer program (layout " +
                                    std::to_string(found.version) + ", this program knows " +
                                    std::to_string(kSchemaVersion) + ")");
        if (found.table && found.version < 1)
            notAJournal("its table sessions is another program's");
        if (!found.table && (found.objects > 0 || found.version != 0))
            notAJournal("an SQLite database without the journal's table");
    };

    // Read in one transaction: a program making the journal at this moment
    // commits the table and its layout number together.
    Execute(step, "BEGIN");
    TLayout found;
    try {
        found = layout();
        Execute(step, "COMMIT");
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
    refuse(found);
    if (options_.ReadOnly) {
        if (!found.table) {
            std::error_code ignored;
            notAJournal(std::filesystem::file_size(file_, ignored) == 0 ? "the file is empty"
                                                                        : "an SQLite database without tables");
        }
    } else {
        // Write-ahead logging lets readers and the forwarder go on while a
        // writer commits, and a commit is one append and one sync of the log.
        {
            TStatementPtr mode(Prepare(step, "PRAGMA journal_mode=WAL"));
            // Programs that open a new journal at once each hold a shared lock
            // and want the exclusive one: SQLite calls that a deadlock and
            // answers busy at once, without the busy handler. Waiting here,
            // with the handler's own rules, lets the first one through.
            int stepped;
            for (int attempt = 0; (stepped = sqlite3_step(mode.get())) == SQLITE_BUSY; ++attempt) {
                sqlite3_reset(mode.get());
                if (!BusyHandler(this, attempt))
                    break;
            }
            if (stepped != SQLITE_ROW)
                Fail(step, stepped);
            const std::string now = ColumnText(mode.get(), 0);
            if (now != "wal")
                throw TJournalError(step, file_, "write-ahead logging refused (journal mode " + now + ")");
        }
        Execute(step, options_.SyncEachChange ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=NORMAL");
        if (found.version != kSchemaVersion) {
            // Several programs may open a new or older journal at once: the first
            // to take the write lock makes or migrates the table, the others find
            // it done.
            Execute(step, "BEGIN IMMEDIATE");
            try {
                found = layout();
                refuse(found);
                std::string sql = found.table ? MigrationSql(found.version) : TableSql();
                if (found.version != kSchemaVersion) {
                    sql += "PRAGMA user_version=" + std::to_string(kSchemaVersion) + ";";
                    Execute(step, sql.c_str());
                }
                Execute(step, "COMMIT");
            } catch (...) {
                sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
                throw;
            }
        }
    }
    TStatementPtr columns(Prepare(step, "SELECT name FROM pragma_table_info('sessions')"));
    int code;
    while ((code = sqlite3_step(columns.get())) == SQLITE_ROW)
        columns_.insert(ColumnText(columns.get(), 0));
    if (code != SQLITE_DONE)
        Fail(step, code);
}

std::string TJournalStore::SelectList() const
{
    // A column a journal of an earlier layout lacks reads as its rows would have
    // it after the migration.
    std::string list;
    for (const TJournalField& field : kJournalFields) {
        if (!list.empty())
            list += ", ";
        if (columns_.contains(field.Name))
            list += field.Name;
        else
            list += field.Kind == TFieldKind::Integer ? "0" : "''";
    }
    return list + (columns_.contains("owner") ? ", owner" : ", NULL");
}

void TJournalStore::CheckRecord(const TJournalRecord& record) const
{
    if (record.Id.empty())
        throw TJournalError(TStep::Write, file_, "the record has no id");
    for (const TJournalField& field : kJournalFields)
        if (field.Kind == TFieldKind::Time && !IsJournalTime(record.*field.TextMember))
            throw TJournalError(TStep::Write, file_,
                                "the record's " + std::string(field.Name) + " time \"" +
                                    ValidUtf8(record.*field.TextMember) +
                                    "\" is not in the form 2026-12-10T14:03:22.123Z");
    if (options_.ReadOnly)
        throw TJournalError(TStep::Write, file_, "the journal was opened for reading");
}

void TJournalStore::Append(const TJournalRecord& record, std::string_view owner)
{
    CheckRecord(record);
    sqlite3_reset(insert_);
    sqlite3_clear_bindings(insert_);
    const int parameter = BindRecord(insert_, record);
    if (!owner.empty())
        sqlite3_bind_text(insert_, parameter, owner.data(), static_cast<int>(owner.size()), SQLITE_TRANSIENT);
    // One statement outside any transaction: SQLite commits it (and syncs the
    // log) before sqlite3_step returns, or rolls it back whole.
    const int code = sqlite3_step(insert_);
    if (code != SQLITE_DONE) {
        const std::string cause = Cause(db_, code, file_, false);
        sqlite3_reset(insert_);
        throw TJournalError(TStep::Write, file_, cause);
    }
    sqlite3_reset(insert_);
}

bool TJournalStore::Complete(const TJournalRecord& record, std::string_view owner)
{
    CheckRecord(record);
    TStatementPtr statement(Prepare(TStep::Write, CompleteSql().c_str()));
    int parameter = BindRecord(statement.get(), record);
    sqlite3_bind_text(statement.get(), parameter++, record.Id.data(), static_cast<int>(record.Id.size()),
                      SQLITE_TRANSIENT);
    sqlite3_bind_text(statement.get(), parameter, owner.data(), static_cast<int>(owner.size()), SQLITE_TRANSIENT);
    const int code = sqlite3_step(statement.get());
    if (code != SQLITE_DONE)
        throw TJournalError(TStep::Write, file_, Cause(db_, code, file_, false));
    return sqlite3_changes(db_) > 0;
}

std::int64_t TJournalStore::NextUnitNumber(const TUnitSeries& series, TStep step)
{
    TStatementPtr statement(Prepare(step, "SELECT next FROM unit_series WHERE format = ?1"));
    sqlite3_bind_text(statement.get(), 1, series.Format.data(), static_cast<int>(series.Format.size()),
                      SQLITE_TRANSIENT);
    const int code = sqlite3_step(statement.get());
    if (code == SQLITE_ROW)
        return std::max<std::int64_t>(series.First, sqlite3_column_int64(statement.get(), 0));
    if (code != SQLITE_DONE)
        throw TJournalError(step, file_, Cause(db_, code, file_, false));
    return series.First;
}

std::string TJournalStore::AppendWithUnit(TJournalRecord record, std::string_view owner, const TUnitSeries& series)
{
    // The write lock from the start: two programs may not both read the same
    // next number.
    Execute(TStep::Write, "BEGIN IMMEDIATE");
    try {
        const std::int64_t number = NextUnitNumber(series, TStep::Write);
        if (number > series.Last)
            throw TUnitSeriesUsedUp("Serial Number Series " + series.Format + " Is Used Up (" +
                                    UnitText(series, series.Last) + " Was The Last)");
        TStatementPtr update(Prepare(TStep::Write, "INSERT INTO unit_series (format, next) VALUES (?1, ?2) "
                                                   "ON CONFLICT (format) DO UPDATE SET next = excluded.next"));
        sqlite3_bind_text(update.get(), 1, series.Format.data(), static_cast<int>(series.Format.size()),
                          SQLITE_TRANSIENT);
        sqlite3_bind_int64(update.get(), 2, number + 1);
        const int code = sqlite3_step(update.get());
        if (code != SQLITE_DONE)
            throw TJournalError(TStep::Write, file_, Cause(db_, code, file_, false));
        record.Unit = UnitText(series, number);
        Append(record, owner);
        Execute(TStep::Write, "COMMIT");
        return record.Unit;
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

std::int64_t TJournalStore::UnitsLeft(const TUnitSeries& series)
{
    const std::int64_t next = NextUnitNumber(series, TStep::Read);
    return next > series.Last ? 0 : series.Last - next + 1;
}

namespace {

const TJournalField& FieldNamed(std::string_view name)
{
    for (const TJournalField& field : kJournalFields)
        if (field.Name == name)
            return field;
    throw std::logic_error("no journal field " + std::string(name));
}

// "COM3", "com12": the number; 0 for anything else.
std::int64_t ComNumberOf(std::string_view port)
{
    if (port.size() < 4 || port.size() > 12 || (port[0] | 0x20) != 'c' || (port[1] | 0x20) != 'o' ||
        (port[2] | 0x20) != 'm')
        return 0;
    std::int64_t number = 0;
    for (const char c : port.substr(3)) {
        if (c < '0' || c > '9')
            return 0;
        number = number * 10 + (c - '0');
    }
    return number;
}

bool OutcomeMatches(std::string_view outcome, std::string_view wanted)
{
    return outcome == wanted || (wanted == kOutcomeProgrammed && outcome == kOutcomeProgrammedWithParameters);
}

} // namespace

std::string TJournalStore::ColumnOrDefault(const TJournalField& field) const
{
    if (columns_.contains(field.Name))
        return std::string(field.Name);
    return field.Kind == TFieldKind::Integer ? "0" : "''";
}

std::vector<TJournalRecord> TJournalStore::Records(const TJournalFilter& filter)
{
    if (!filter.Since.empty() && !IsJournalTime(filter.Since))
        throw TJournalError(TStep::Read, file_,
                            "\"" + ValidUtf8(filter.Since) + "\" is not a time in the form 2026-12-10T14:03:22.123Z");
    // Every value is bound, never written into the text: a unit's label is
    // whatever a scanner typed.
    std::string where;
    struct TValue {
        TValue(std::string text) : Text(std::move(text)) {}
        TValue(std::int64_t number) : Number(number), IsNumber(true) {}
        std::string Text;
        std::int64_t Number = 0;
        bool IsNumber = false;
    };
    std::vector<TValue> values;
    const auto condition = [&](const std::string& test) {
        where += where.empty() ? " WHERE " : " AND ";
        where += test;
    };
    const auto equals = [&](std::string_view name, TValue value) {
        values.push_back(std::move(value));
        condition(ColumnOrDefault(FieldNamed(name)) + " = ?" + std::to_string(values.size()));
    };
    if (!filter.Since.empty()) {
        values.emplace_back(ValidUtf8(filter.Since));
        condition("started >= ?" + std::to_string(values.size()));
    }
    if (!filter.Port.empty()) {
        if (const std::int64_t number = ComNumberOf(filter.Port); number > 0)
            equals("com_number", number);
        else
            equals("device_path", ValidUtf8(filter.Port));
    }
    if (!filter.Unit.empty())
        equals("unit", ValidUtf8(filter.Unit));
    if (!filter.Identification.empty())
        equals("identification", ValidUtf8(filter.Identification));
    if (!filter.Outcome.empty()) {
        // A record under way may read as interrupted (below), so it is fetched
        // whatever it says and judged once it has been read.
        values.emplace_back(ValidUtf8(filter.Outcome));
        const std::string wanted = "?" + std::to_string(values.size());
        values.emplace_back(std::string(kOutcomeProgrammedWithParameters));
        const std::string withParameters = "?" + std::to_string(values.size());
        values.emplace_back(std::string(kOutcomeProgrammed));
        const std::string programmed = "?" + std::to_string(values.size());
        condition("(outcome = " + wanted + " OR (" + wanted + " = " + programmed + " AND outcome = " +
                  withParameters + ")" + (columns_.contains("owner") ? " OR owner IS NOT NULL)" : ")"));
    }
    const std::string sql = "SELECT " + SelectList() + " FROM sessions" + where + " ORDER BY seq";
    TStatementPtr statement(Prepare(TStep::Read, sql.c_str()));
    for (std::size_t i = 0; i < values.size(); ++i) {
        const int parameter = static_cast<int>(i + 1);
        const TValue& value = values[i];
        if (value.IsNumber)
            sqlite3_bind_int64(statement.get(), parameter, value.Number);
        else
            sqlite3_bind_text(statement.get(), parameter, value.Text.data(), static_cast<int>(value.Text.size()),
                              SQLITE_TRANSIENT);
    }
    const std::string host = ValidUtf8(LocalHostName());
    std::map<std::string, bool> gone; // asked once per owner
    std::vector<TJournalRecord> records;
    int code;
    while ((code = sqlite3_step(statement.get())) == SQLITE_ROW) {
        records.push_back(ReadRecord(statement.get(), 0));
        if (sqlite3_column_type(statement.get(), int(kJournalFieldCount)) != SQLITE_NULL) {
            // A record under way is told as it will be closed once its program
            // has ended: reading needs no write. Another host's programs cannot
            // be asked (see journalowner.h), so theirs stay under way.
            TJournalRecord& record = records.back();
            const std::string owner = ColumnText(statement.get(), int(kJournalFieldCount));
            const auto known = gone.try_emplace(owner, false);
            if (known.second)
                known.first->second = JournalOwnerGone(file_, owner);
            if (record.Host == host && known.first->second) {
                record.Outcome = std::string(kOutcomeInterrupted);
                record.FailureKind.clear();
                record.Message = std::string(kAbandonedMessage);
            }
        }
        if (!filter.Outcome.empty() && !OutcomeMatches(records.back().Outcome, ValidUtf8(filter.Outcome)))
            records.pop_back();
    }
    if (code != SQLITE_DONE)
        Fail(TStep::Read, code);
    return records;
}

std::size_t TJournalStore::CloseAbandoned(std::string_view self)
{
    if (options_.ReadOnly)
        return 0;
    TStatementPtr owners(Prepare(
        TStep::Read, "SELECT DISTINCT owner FROM sessions WHERE owner IS NOT NULL AND owner <> ?1 AND host = ?2"));
    const std::string host = ValidUtf8(LocalHostName());
    sqlite3_bind_text(owners.get(), 1, self.data(), static_cast<int>(self.size()), SQLITE_TRANSIENT);
    sqlite3_bind_text(owners.get(), 2, host.data(), static_cast<int>(host.size()), SQLITE_TRANSIENT);
    std::vector<std::string> ended;
    int code;
    while ((code = sqlite3_step(owners.get())) == SQLITE_ROW) {
        const std::string owner = ColumnText(owners.get(), 0);
        if (JournalOwnerGone(file_, owner))
            ended.push_back(owner);
    }
    if (code != SQLITE_DONE)
        Fail(TStep::Read, code);
    owners.reset();

    std::size_t closed = 0;
    for (const std::string& owner : ended) {
        // The ended time stays the last its program wrote: when it ended after
        // that is not known. The record is now finished, and forwarded.
        TStatementPtr close(Prepare(TStep::Write, "UPDATE sessions SET outcome = ?1, failure_kind = '', message = ?2, "
                                                  "owner = NULL WHERE owner = ?3"));
        sqlite3_bind_text(close.get(), 1, kOutcomeInterrupted.data(), static_cast<int>(kOutcomeInterrupted.size()),
                          SQLITE_STATIC);
        sqlite3_bind_text(close.get(), 2, kAbandonedMessage.data(), static_cast<int>(kAbandonedMessage.size()),
                          SQLITE_STATIC);
        sqlite3_bind_text(close.get(), 3, owner.data(), static_cast<int>(owner.size()), SQLITE_TRANSIENT);
        code = sqlite3_step(close.get());
        if (code != SQLITE_DONE)
            throw TJournalError(TStep::Write, file_, Cause(db_, code, file_, false));
        closed += static_cast<std::size_t>(sqlite3_changes(db_));
        RemoveJournalOwnerFile(file_, owner);
    }
    return closed;
}

std::vector<TPendingRecord> TJournalStore::Unforwarded(std::size_t limit)
{
    // Only finished records: the server takes a record once, so one under way
    // would stay there unfinished.
    const std::string sql = "SELECT seq, " + ColumnList() +
                            " FROM sessions WHERE forwarded IS NULL AND owner IS NULL ORDER BY seq LIMIT ?1";
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
    TStatementPtr statement(
        Prepare(TStep::Read, "SELECT count(*) FROM sessions WHERE forwarded IS NULL AND owner IS NULL"));
    const int code = sqlite3_step(statement.get());
    if (code != SQLITE_ROW)
        Fail(TStep::Read, code);
    return sqlite3_column_int64(statement.get(), 0);
}

void TJournalStore::MarkForwarded(const std::vector<std::int64_t>& sequences)
{
    if (sequences.empty())
        return;
    // By number, not by range: a record between two of a batch may have been
    // finished after the batch was read, and has not been sent.
    std::string list;
    for (const std::int64_t sequence : sequences)
        list += (list.empty() ? "" : ", ") + std::to_string(sequence);
    const std::string sql = "UPDATE sessions SET forwarded = ?1 WHERE forwarded IS NULL AND seq IN (" + list + ")";
    TStatementPtr statement(Prepare(TStep::Write, sql.c_str()));
    const std::string now = JournalTimeNow();
    sqlite3_bind_text(statement.get(), 1, now.data(), static_cast<int>(now.size()), SQLITE_TRANSIENT);
    const int code = sqlite3_step(statement.get());
    if (code != SQLITE_DONE)
        Fail(TStep::Write, code);
}
