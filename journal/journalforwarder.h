#pragma once

// Sends the journal's records on to the factory's PostgreSQL server, from the
// local file, on a thread of its own.
//
//     TJournalForwarder forwarder(journal.File(), "postgresql://bench@factory/qr740");
//     forwarder.Start();
//     ...
//     journal.Append(record);
//     forwarder.RecordAppended();   // forward soon
//     ...
//     forwarder.Stop();             // at exit; the destructor stops too
//
// What it promises:
// - Appending never waits for it: a server that is down, unreachable, slow or
//   refusing only delays forwarding. The records wait in the local file and go,
//   oldest first, when the server answers again, also after a restart of the
//   program (the file says which records the server has).
// - Each record is stored once on the server, in the order of appending. The
//   record's id is the server table's primary key and an id already there is
//   ignored; a record is marked forwarded in the local file only after the server
//   committed it, so a crash in between sends it again, harmlessly. Several
//   forwarders (in several processes) on one journal and one server are fine.
// - The server's table (kJournalServerTable) is created when missing; with the
//   table made beforehand, the server account needs only INSERT on it and
//   SELECT on its id column (which ON CONFLICT (id) reads).
// - A record the server refuses is retried, never skipped: the records after it
//   wait, and Status().LastError says why.
// - Only finished records go: a record under way (TJournal::Begin) waits until
//   it is finished, since the server takes a record once.
//
// Threads: Start, Stop and the destructor belong to the thread that owns the
// forwarder; RecordAppended and Status may be called from any thread and never
// block (they take a lock held only while the status is copied). Stop returns
// within about a second, even while a connection attempt hangs.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

struct TJournalForwarderShared;

// The table on the server, in the connection's default schema.
inline constexpr std::string_view kJournalServerTable = "qr740_sessions";

struct TJournalForwarderOptions {
    // A connection attempt that has not succeeded by then is given up.
    std::chrono::milliseconds ConnectTimeout{10000};
    // A server that has not answered a request by then is given up.
    std::chrono::milliseconds ReplyTimeout{30000};
    // After a failure, the next attempt waits this long; appending meanwhile
    // does not hurry it.
    std::chrono::milliseconds RetryInterval{15000};
    // With nothing waiting, the file is looked at again after this long, for
    // records appended by programs whose own forwarder has not sent them.
    std::chrono::milliseconds PollInterval{60000};
    // Records per request to the server.
    std::size_t BatchSize = 100;
};

struct TJournalForwarderStatus {
    std::uint64_t Forwarded = 0; // records this forwarder saw committed on the server
    std::uint64_t Waiting = 0;   // records in the file not yet on the server, as far as known
    bool Connected = false;      // a connection to the server is open
    // Why the last attempt failed ("Journal server postgresql://bench@factory/qr740:
    // connection ... refused"); empty once a request has succeeded again. Never
    // holds the password.
    std::string LastError;
};

class TJournalForwarder {
public:
    // `serverUri`: a libpq connection URI or key=value string. Nothing is
    // opened before Start.
    TJournalForwarder(std::filesystem::path journalFile, std::string serverUri,
                      TJournalForwarderOptions options = {});
    ~TJournalForwarder(); // Stop()
    TJournalForwarder(const TJournalForwarder&) = delete;
    TJournalForwarder& operator=(const TJournalForwarder&) = delete;

    // Called on the forwarder's thread whenever Status().LastError changes: the
    // first failure, a change of cause, and recovery (LastError empty again).
    // Set before Start. It is called with the status's lock held, so that
    // nothing is reported once Stop has returned: it must not block, nor call
    // the forwarder.
    void SetStatusReport(std::function<void(const TJournalForwarderStatus&)> report);
    // Starts the thread, which forwards what the file holds. Once only.
    void Start();
    // A record was just appended: forward soon, unless a failed attempt is being
    // waited out (RetryInterval).
    void RecordAppended();
    // Ends the thread, abandoning a request or connection attempt in flight (its
    // records are sent again by the next forwarder). Returns within about a
    // second; a thread held up inside a system call (a hanging host-name lookup)
    // is left to end on its own. Safe to call more than once.
    void Stop();

    TJournalForwarderStatus Status() const;

    // The server as the texts name it: the URI without its password.
    const std::string& ServerName() const { return serverName_; }

private:
    // What the caller's side and the thread share; the thread holds its own
    // reference, so that a thread left behind by Stop still has what it uses.
    std::shared_ptr<TJournalForwarderShared> shared_;
    std::string serverName_;
    std::thread thread_;
    bool started_ = false;
};

// "postgresql://user@host:port/db" for any URI or key=value string, without the
// password and other options; "(unreadable connection string)" when libpq cannot
// read it.
std::string DescribeJournalServer(const std::string& serverUri);

// Whether the URI or key=value string holds a password.
bool JournalServerHasPassword(const std::string& serverUri);
