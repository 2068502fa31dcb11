#include "journalforwarder.h"

#include "journal.h"
#include "journalfields.h"
#include "journalstore.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <utility>
#include <thread>
#include <vector>

#include <libpq-fe.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;

// How long Stop waits for the thread to end before leaving it to end alone.
constexpr auto kStopGrace = 900ms;

// PostgreSQL takes at most 65535 parameters in one statement, 32 per record.
constexpr std::size_t kMaxBatchSize = 2000;

// Taken for the duration of the table's creation, so that two forwarders that
// find no table at once do not both create it (PostgreSQL's IF NOT EXISTS does
// not protect against that race). The number is "QR740" in letters' places.
constexpr const char* kCreateLockKey = "1718740";

std::string ServerColumnType(const TJournalField& field)
{
    switch (field.Kind) {
    case TFieldKind::Text:
        return field.Layout > 1 ? "text NOT NULL DEFAULT ''" : "text NOT NULL";
    case TFieldKind::Time:
        return "timestamptz NOT NULL";
    case TFieldKind::Integer:
        break;
    }
    return field.Layout > 1 ? "bigint NOT NULL DEFAULT 0" : "bigint NOT NULL";
}

// Which units hold a given firmware, whatever file it came in, and a unit's
// whole history are a factory's everyday questions.
std::string LookupIndexSql()
{
    const std::string table(kJournalServerTable);
    return "CREATE INDEX IF NOT EXISTS " + table + "_flash_sha256 ON " + table + " (flash_sha256);\n"
           "CREATE INDEX IF NOT EXISTS " + table + "_unit ON " + table + " (unit);\n";
}

std::string ServerTableSql()
{
    const std::string table(kJournalServerTable);
    std::string sql = "SELECT pg_advisory_xact_lock(" + std::string(kCreateLockKey) + ");\n" +
                      "CREATE TABLE IF NOT EXISTS " + table + " (\n" +
                      "  arrival bigint GENERATED ALWAYS AS IDENTITY,\n";
    for (const TJournalField& field : kJournalFields) {
        sql += "  " + std::string(field.Name) + " " + ServerColumnType(field);
        if (field.Name == "id")
            sql += " PRIMARY KEY";
        sql += ",\n";
    }
    sql += "  received timestamptz NOT NULL DEFAULT now()\n);\n";
    sql += "CREATE INDEX IF NOT EXISTS " + table + "_started ON " + table + " (started);\n";
    sql += "CREATE INDEX IF NOT EXISTS " + table + "_identification ON " + table + " (identification);\n";
    sql += "CREATE INDEX IF NOT EXISTS " + table + "_arrival ON " + table + " (arrival);\n";
    sql += LookupIndexSql();
    return sql;
}

// The fields later layouts brought, as an SQL list of names, and how many.
std::pair<std::string, std::size_t> LaterFields()
{
    std::string names;
    std::size_t count = 0;
    for (const TJournalField& field : kJournalFields) {
        if (field.Layout > 1) {
            names += (names.empty() ? "'" : ", '") + std::string(field.Name) + "'";
            ++count;
        }
    }
    return {names, count};
}

// "none" without the table, "old" when it lacks a later layout's column,
// "current" otherwise. pg_attribute can be read by any account.
std::string ServerTableStateSql()
{
    const auto [names, count] = LaterFields();
    if (count == 0)
        return "SELECT CASE WHEN to_regclass($1) IS NULL THEN 'none' ELSE 'current' END";
    return "SELECT CASE WHEN to_regclass($1) IS NULL THEN 'none' "
           "WHEN (SELECT count(*) FROM pg_attribute WHERE attrelid = to_regclass($1) AND NOT attisdropped "
           "AND attname IN (" + names + ")) = " + std::to_string(count) + " THEN 'current' ELSE 'old' END";
}

// A table made by an earlier program gains the later columns; its rows keep
// what they hold and read 0 or "" in the new ones.
std::string ServerMigrationSql()
{
    const std::string table(kJournalServerTable);
    std::string sql = "SELECT pg_advisory_xact_lock(" + std::string(kCreateLockKey) + ");\n";
    for (const TJournalField& field : kJournalFields) {
        if (field.Layout > 1)
            sql += "ALTER TABLE " + table + " ADD COLUMN IF NOT EXISTS " + std::string(field.Name) + " " +
                   ServerColumnType(field) + ";\n";
    }
    sql += LookupIndexSql();
    return sql;
}

std::string InsertSql(std::size_t rows)
{
    std::string sql = "INSERT INTO " + std::string(kJournalServerTable) + " (";
    for (std::size_t i = 0; i < kJournalFieldCount; ++i) {
        sql += i == 0 ? "" : ", ";
        sql += kJournalFields[i].Name;
    }
    sql += ") VALUES ";
    std::size_t parameter = 1;
    for (std::size_t row = 0; row < rows; ++row) {
        sql += row == 0 ? "(" : ", (";
        for (std::size_t i = 0; i < kJournalFieldCount; ++i) {
            sql += i == 0 ? "$" : ", $";
            sql += std::to_string(parameter++);
        }
        sql += ")";
    }
    // The rows go in the order of appending; an id already there (sent before a
    // crash, or by another forwarder) is left alone.
    return sql + " ON CONFLICT (id) DO NOTHING";
}

// libpq's messages run over several lines with tabs; a status line wants one.
std::string OneLine(std::string text)
{
    for (char& c : text)
        if (c == '\n' || c == '\t' || c == '\r')
            c = ' ';
    const auto last = text.find_last_not_of(' ');
    text.erase(last == std::string::npos ? 0 : last + 1);
    std::string squeezed;
    for (char c : text)
        if (!(c == ' ' && !squeezed.empty() && squeezed.back() == ' '))
            squeezed += c;
    return squeezed;
}

// libpq's complaint about a connection string quotes the string, or a part of
// it, which may hold the password: those parts are left out.
std::string WithoutQuotedParts(const std::string& message, const std::string& uri)
{
    std::string kept;
    std::size_t at = 0;
    for (;;) {
        const std::size_t open = message.find('"', at);
        const std::size_t close = open == std::string::npos ? open : message.find('"', open + 1);
        if (close == std::string::npos) {
            kept += message.substr(at);
            return kept;
        }
        const std::string quoted = message.substr(open + 1, close - open - 1);
        kept += message.substr(at, open - at);
        kept += quoted.size() > 1 && uri.find(quoted) != std::string::npos ? "\"...\"" : "\"" + quoted + "\"";
        at = close + 1;
    }
}

std::string Seconds(std::chrono::milliseconds duration)
{
    const auto tenths = duration.count() / 100;
    return std::to_string(tenths / 10) + (tenths % 10 ? "." + std::to_string(tenths % 10) : "") + " s";
}

} // namespace

std::string DescribeJournalServer(const std::string& serverUri)
{
    char* error = nullptr;
    PQconninfoOption* options = PQconninfoParse(serverUri.c_str(), &error);
    if (!options) {
        PQfreemem(error);
        return "(unreadable connection string)";
    }
    std::string host, port, user, dbname;
    for (PQconninfoOption* option = options; option->keyword; ++option) {
        if (!option->val)
            continue;
        const std::string keyword = option->keyword;
        if (keyword == "host" || (keyword == "hostaddr" && host.empty()))
            host = option->val;
        else if (keyword == "port")
            port = option->val;
        else if (keyword == "user")
            user = option->val;
        else if (keyword == "dbname")
            dbname = option->val;
    }
    PQconninfoFree(options);
    std::string name = "postgresql://";
    if (!user.empty())
        name += user + "@";
    name += host;
    if (!port.empty())
        name += ":" + port;
    if (!dbname.empty())
        name += "/" + dbname;
    return name;
}

bool JournalServerHasPassword(const std::string& serverUri)
{
    char* error = nullptr;
    PQconninfoOption* options = PQconninfoParse(serverUri.c_str(), &error);
    PQfreemem(error);
    bool found = false;
    for (PQconninfoOption* option = options; option && option->keyword; ++option)
        found = found || (std::string_view(option->keyword) == "password" && option->val && *option->val);
    PQconninfoFree(options);
    return found;
}

struct TJournalForwarderShared {
    std::filesystem::path File;
    std::string Uri;
    std::string ServerName;
    TJournalForwarderOptions Options;

    // Wakes the thread from any wait: written by RecordAppended and Stop.
    int WakeFd = -1;
    std::atomic<bool> StopRequested{false};
    std::atomic<bool> Appended{false};

    mutable std::mutex Mutex; // guards Status and Finished
    TJournalForwarderStatus Status;
    // Called by the thread with Mutex held, so that Stop can take it away:
    // a thread left to end alone then reports to nobody.
    std::function<void(const TJournalForwarderStatus&)> Report;
    bool Finished = false;
    std::condition_variable FinishedChanged;

    ~TJournalForwarderShared()
    {
        if (WakeFd >= 0)
            ::close(WakeFd);
    }

    void Wake() const
    {
        const std::uint64_t one = 1;
        // Only fails when the counter is about to overflow, and then a wake-up is
        // pending anyway.
        [[maybe_unused]] const auto written = ::write(WakeFd, &one, sizeof one);
    }
};

namespace {

// The thread's side: the local file, the server connection, and every wait.
class TForwarding {
public:
    explicit TForwarding(std::shared_ptr<TJournalForwarderShared> shared) : shared_(std::move(shared)) {}
    ~TForwarding() { Disconnect(); }

    void Run();

private:
    enum class TWait { Ready, Stopped, TimedOut };

    bool Stopping() const { return shared_->StopRequested.load(); }
    TWait WaitUntil(int fd, short events, TClock::time_point deadline, bool wakeOnAppend);
    void Pause(std::chrono::milliseconds duration, bool wakeOnAppend);

    bool OpenStore();
    bool Connect();
    void Disconnect();
    // Runs `sql` (several statements when there are no parameters) and gives the
    // first row's first value, if any; nullopt on failure, with the error set.
    std::optional<std::string> Request(const std::string& sql, const std::vector<std::string>& parameters = {});
    bool EnsureTable();
    bool Send(const std::vector<TPendingRecord>& batch);

    void ServerFailed(const std::string& what);
    void SetError(const std::string& text);
    void SetWaiting(std::uint64_t waiting);
    void Forwarded(std::uint64_t count);

    std::shared_ptr<TJournalForwarderShared> shared_;
    std::unique_ptr<TJournalStore> store_;
    PGconn* connection_ = nullptr;
    bool tableReady_ = false;
};

void TForwarding::Run()
{
    const TJournalForwarderOptions& options = shared_->Options;
    const std::size_t batchSize = std::clamp<std::size_t>(options.BatchSize, 1, kMaxBatchSize);
    while (!Stopping()) {
        // Cleared before looking, so that a record appended from now on calls for
        // another look.
        shared_->Appended.store(false);
        if (!store_ && !OpenStore()) {
            Pause(options.RetryInterval, false);
            continue;
        }
        std::vector<TPendingRecord> batch;
        std::int64_t waiting = 0;
        try {
            waiting = store_->CountUnforwarded();
            batch = store_->Unforwarded(batchSize);
        } catch (const TJournalError& error) {
            SetError(error.what());
            store_.reset();
            Pause(options.RetryInterval, false);
            continue;
        }
        SetWaiting(static_cast<std::uint64_t>(waiting));
        if (batch.empty()) {
            // Nothing to send: an idle connection would only hold one of the
            // server's connection slots for every bench.
            Disconnect();
            Pause(options.PollInterval, true);
            continue;
        }
        if (!Connect() || !EnsureTable() || !Send(batch)) {
            Disconnect();
            if (!Stopping())
                Pause(options.RetryInterval, false);
            continue;
        }
        try {
            std::vector<std::int64_t> sequences;
            for (const TPendingRecord& pending : batch)
                sequences.push_back(pending.Sequence);
            store_->MarkForwarded(sequences);
        } catch (const TJournalError& error) {
            // The server has them; they will be sent again and ignored there.
            SetError(error.what());
            store_.reset();
            Pause(options.RetryInterval, false);
            continue;
        }
        Forwarded(batch.size());
    }
    Disconnect();
}

TForwarding::TWait TForwarding::WaitUntil(int fd, short events, TClock::time_point deadline, bool wakeOnAppend)
{
    for (;;) {
        if (Stopping())
            return TWait::Stopped;
        if (wakeOnAppend && shared_->Appended.load())
            return TWait::Ready;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - TClock::now());
        if (left <= 0ms)
            return TWait::TimedOut;
        pollfd fds[2] = {{shared_->WakeFd, POLLIN, 0}, {fd, events, 0}};
        const int ready = ::poll(fds, fd >= 0 ? 2 : 1, static_cast<int>(std::min<std::int64_t>(left.count(), 60000)));
        if (ready < 0 && errno != EINTR)
            return TWait::TimedOut; // poll itself failing leaves nothing to wait with
        if (ready > 0 && (fds[0].revents & POLLIN)) {
            std::uint64_t count;
            [[maybe_unused]] const auto read = ::read(shared_->WakeFd, &count, sizeof count);
            continue; // the flags say what the wake-up was for
        }
        if (ready > 0 && fd >= 0 && fds[1].revents)
            return TWait::Ready;
    }
}

void TForwarding::Pause(std::chrono::milliseconds duration, bool wakeOnAppend)
{
    WaitUntil(-1, 0, TClock::now() + duration, wakeOnAppend);
}

bool TForwarding::OpenStore()
{
    TJournalStoreOptions options;
    options.SyncEachChange = false;
    auto shared = shared_;
    options.KeepWaiting = [shared] { return !shared->StopRequested.load(); };
    try {
        store_ = std::make_unique<TJournalStore>(shared_->File, std::move(options));
        return true;
    } catch (const TJournalError& error) {
        SetError(error.what());
        return false;
    }
}

bool TForwarding::Connect()
{
    if (connection_)
        return true;
    char* unreadable = nullptr;
    PQconninfoOption* parsed = PQconninfoParse(shared_->Uri.c_str(), &unreadable);
    if (!parsed) {
        SetError("Journal server " + shared_->ServerName + ": " +
                 OneLine(WithoutQuotedParts(unreadable ? unreadable : "out of memory", shared_->Uri)));
        PQfreemem(unreadable);
        return false;
    }
    PQconninfoFree(parsed);
    // Keywords are read in order and the last one counts: the operator's URI may
    // name the application, but the texts are always sent as UTF-8.
    const char* keywords[] = {"application_name", "dbname", "client_encoding", nullptr};
    const char* values[] = {"qr740 journal", shared_->Uri.c_str(), "UTF8", nullptr};
    connection_ = PQconnectStartParams(keywords, values, 1);
    if (!connection_) {
        SetError("Journal server " + shared_->ServerName + ": out of memory");
        return false;
    }
    const auto deadline = TClock::now() + shared_->Options.ConnectTimeout;
    // libpq's own connect_timeout applies only to its blocking connect; here the
    // time-out and the stop are this loop's.
    PostgresPollingStatusType state = PGRES_POLLING_WRITING;
    while (PQstatus(connection_) != CONNECTION_BAD) {
        if (state == PGRES_POLLING_OK) {
            PQsetnonblocking(connection_, 1);
            std::lock_guard lock(shared_->Mutex);
            shared_->Status.Connected = true;
            return true;
        }
        if (state == PGRES_POLLING_FAILED)
            break;
        const int fd = PQsocket(connection_);
        if (fd < 0)
            break;
        const TWait wait = WaitUntil(fd, state == PGRES_POLLING_READING ? POLLIN : POLLOUT, deadline, false);
        if (wait == TWait::Stopped)
            return false;
        if (wait == TWait::TimedOut) {
            SetError("Journal server " + shared_->ServerName + ": no connection within " +
                     Seconds(shared_->Options.ConnectTimeout));
            return false;
        }
        state = PQconnectPoll(connection_);
    }
    ServerFailed("");
    return false;
}

void TForwarding::Disconnect()
{
    if (!connection_)
        return;
    PQfinish(connection_);
    connection_ = nullptr;
    tableReady_ = false;
    std::lock_guard lock(shared_->Mutex);
    shared_->Status.Connected = false;
}

std::optional<std::string> TForwarding::Request(const std::string& sql, const std::vector<std::string>& parameters)
{
    std::vector<const char*> values;
    values.reserve(parameters.size());
    for (const std::string& parameter : parameters)
        values.push_back(parameter.c_str());
    const int sent = parameters.empty()
                         ? PQsendQuery(connection_, sql.c_str())
                         : PQsendQueryParams(connection_, sql.c_str(), static_cast<int>(values.size()), nullptr,
                                             values.data(), nullptr, nullptr, 0);
    if (!sent) {
        ServerFailed("");
        return std::nullopt;
    }
    const auto deadline = TClock::now() + shared_->Options.ReplyTimeout;
    const auto waitFor = [&](short events) {
        const TWait wait = WaitUntil(PQsocket(connection_), events, deadline, false);
        if (wait == TWait::TimedOut)
            SetError("Journal server " + shared_->ServerName + ": no answer within " +
                     Seconds(shared_->Options.ReplyTimeout));
        return wait == TWait::Ready;
    };
    // A large batch may not fit the socket's buffer at once.
    for (;;) {
        const int flushed = PQflush(connection_);
        if (flushed == 0)
            break;
        if (flushed < 0) {
            ServerFailed("");
            return std::nullopt;
        }
        if (!waitFor(POLLIN | POLLOUT))
            return std::nullopt;
        if (!PQconsumeInput(connection_)) {
            ServerFailed("");
            return std::nullopt;
        }
    }
    std::optional<std::string> first = std::string();
    std::string failure;
    for (;;) {
        while (PQisBusy(connection_)) {
            if (!waitFor(POLLIN))
                return std::nullopt;
            if (!PQconsumeInput(connection_)) {
                ServerFailed("");
                return std::nullopt;
            }
        }
        PGresult* result = PQgetResult(connection_);
        if (!result)
            break;
        const ExecStatusType status = PQresultStatus(result);
        if (status == PGRES_TUPLES_OK) {
            if (PQntuples(result) > 0 && PQnfields(result) > 0 && first->empty())
                first = std::string(PQgetvalue(result, 0, 0));
        } else if (status != PGRES_COMMAND_OK && failure.empty()) {
            failure = PQresultErrorMessage(result);
        }
        PQclear(result);
    }
    if (!failure.empty()) {
        ServerFailed(failure);
        return std::nullopt;
    }
    return first;
}

bool TForwarding::EnsureTable()
{
    if (tableReady_)
        return true;
    // Looked at first, so that an account allowed only to insert never needs
    // the right to create or alter.
    const auto state = Request(ServerTableStateSql(), {std::string(kJournalServerTable)});
    if (!state)
        return false;
    if (*state == "none" && !Request(ServerTableSql()))
        return false;
    if (*state == "old" && !Request(ServerMigrationSql()))
        return false;
    tableReady_ = true;
    return true;
}

bool TForwarding::Send(const std::vector<TPendingRecord>& batch)
{
    std::vector<std::string> parameters;
    parameters.reserve(batch.size() * kJournalFieldCount);
    for (const TPendingRecord& pending : batch)
        for (const TJournalField& field : kJournalFields)
            parameters.push_back(FieldText(pending.Record, field));
    // An insert outside a transaction is committed when its answer arrives.
    return Request(InsertSql(batch.size()), parameters).has_value();
}

void TForwarding::ServerFailed(const std::string& what)
{
    const std::string text = what.empty() && connection_ ? PQerrorMessage(connection_) : what;
    SetError("Journal server " + shared_->ServerName + ": " + OneLine(text.empty() ? "failed" : text));
}

void TForwarding::SetError(const std::string& text)
{
    std::lock_guard lock(shared_->Mutex);
    if (shared_->Status.LastError == text)
        return;
    shared_->Status.LastError = text;
    if (shared_->Report)
        shared_->Report(shared_->Status);
}

void TForwarding::SetWaiting(std::uint64_t waiting)
{
    std::lock_guard lock(shared_->Mutex);
    shared_->Status.Waiting = waiting;
}

void TForwarding::Forwarded(std::uint64_t count)
{
    std::lock_guard lock(shared_->Mutex);
    shared_->Status.Forwarded += count;
    // Taken off what is known rather than set from the count before sending:
    // records appended while the batch was on its way are still waiting.
    shared_->Status.Waiting -= std::min(shared_->Status.Waiting, count);
    if (shared_->Status.LastError.empty())
        return;
    shared_->Status.LastError.clear();
    if (shared_->Report)
        shared_->Report(shared_->Status);
}

} // namespace

TJournalForwarder::TJournalForwarder(std::filesystem::path journalFile, std::string serverUri,
                                     TJournalForwarderOptions options)
    : shared_(std::make_shared<TJournalForwarderShared>()), serverName_(DescribeJournalServer(serverUri))
{
    shared_->File = std::move(journalFile);
    shared_->Uri = std::move(serverUri);
    shared_->ServerName = serverName_;
    shared_->Options = options;
    shared_->WakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (shared_->WakeFd < 0)
        throw std::runtime_error(std::string("Unable to create the journal forwarder's wake-up (errno ") +
                                 std::to_string(errno) + ", " + std::strerror(errno) + ")");
}

TJournalForwarder::~TJournalForwarder()
{
    Stop();
}

void TJournalForwarder::SetStatusReport(std::function<void(const TJournalForwarderStatus&)> report)
{
    if (!started_)
        shared_->Report = std::move(report);
}

void TJournalForwarder::Start()
{
    if (thread_.joinable() || started_)
        return;
    started_ = true;
    thread_ = std::thread([shared = shared_] {
        {
            TForwarding forwarding(shared);
            forwarding.Run();
        }
        std::lock_guard lock(shared->Mutex);
        shared->Finished = true;
        shared->FinishedChanged.notify_all();
    });
}

void TJournalForwarder::RecordAppended()
{
    {
        std::lock_guard lock(shared_->Mutex);
        ++shared_->Status.Waiting;
    }
    shared_->Appended.store(true);
    shared_->Wake();
}

void TJournalForwarder::Stop()
{
    if (!thread_.joinable())
        return;
    shared_->StopRequested.store(true);
    shared_->Wake();
    std::unique_lock lock(shared_->Mutex);
    shared_->Report = nullptr;
    const bool finished =
        shared_->FinishedChanged.wait_for(lock, kStopGrace, [this] { return shared_->Finished; });
    lock.unlock();
    if (finished)
        thread_.join();
    else
        thread_.detach(); // it holds its own reference to what it uses, and ends on its own
}

TJournalForwarderStatus TJournalForwarder::Status() const
{
    std::lock_guard lock(shared_->Mutex);
    return shared_->Status;
}
