#pragma once

// Where the window and qr740-flash put the record of every controller's session:
// the local journal (journal.sqlite in the program's folder, or where
// [Journal] File= or --journal names), and, when [Journal] Server= or
// --journal-server names one, the factory's PostgreSQL server the records are
// forwarded to from there.
//
// Records are written on a thread of the journal's own, never on the sessions'
// thread: a slow disk, or another program holding the file's write lock for a
// minute, changes nothing for any port. A record that cannot be written yet is
// kept in memory and tried again until it is written; what is still unwritten
// when the program ends is given back by Finish, for the program to say.

#include "journal.h"
#include "journalforwarder.h"
#include "journalhistory.h"
#include "sessionevents.h"

#include <QObject>
#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class TIniFile;
struct TJournalWriterShared;

// What the front end knows of a session that the session does not.
struct TJournalContext {
    std::string_view FrontEnd;  // kFrontEndWindow or kFrontEndCommandLine
    std::int32_t ComNumber = 0; // 0 when the port was named by its device path
    std::string DevicePath;
    // Empty: looked up from DevicePath on the journal's thread, since asking
    // the system for its adapters takes time no port may wait for.
    std::string AdapterSerial;
    QString NewVersion;        // the version being installed
};

// The journal's file and server for a program folder: the command line's
// choice first, then Loader.ini's [Journal] section, then journal.sqlite in the
// folder and no server.
struct TJournalPlace {
    std::filesystem::path File;
    std::string Server; // empty: no forwarding
};
TJournalPlace ResolveJournalPlace(const QString& programFolder, const TIniFile& ini,
                                  const QString& fileOption = {}, const QString& serverOption = {});

// The forwarder's state in a line for the operator: records waiting, and the
// last error (which names the server; without one, the line does).
QString ForwardingText(const TJournalForwarderStatus& status);

// The record the journal keeps for a session's record and its context, under a
// new id.
TJournalRecord JournalRecordOf(const TControllerRecord& record, const TJournalContext& context);

// How long a program that is ending waits for its records to be written.
inline constexpr std::chrono::milliseconds kJournalFinishWait{15000};

// Durations of the writing; tests shorten them.
struct TSessionJournalTiming {
    // How long one write waits for another program's write lock.
    std::chrono::milliseconds BusyTimeout = kJournalBusyTimeout;
    // After a failed write, the next attempt waits this long.
    std::chrono::milliseconds RetryInterval{1000};
    // How long Finish waits for the records still to be written.
    std::chrono::milliseconds FinishWait = kJournalFinishWait;
    // Given to the forwarder, when there is one.
    TJournalForwarderOptions Forwarding{};
};

class TSessionJournal : public QObject {
public:
    // Opens the journal and starts writing and forwarding. Throws TJournalError
    // when the file cannot be opened for writing.
    explicit TSessionJournal(const TJournalPlace& place, TSessionJournalTiming timing = {});
    // Stops writing and forwarding; records not written by then are dropped
    // (Finish gives them back first).
    ~TSessionJournal() override;
    TSessionJournal(const TSessionJournal&) = delete;
    TSessionJournal& operator=(const TSessionJournal&) = delete;

    const std::filesystem::path& File() const { return file_; }
    // The server as the texts name it (without its password); empty for none.
    std::string ServerName() const;

    // The controller has identified itself: its record is written as under
    // way. Returns the record's id, for Complete. Never waits.
    //
    // With `series`, the unit is given the series' next number, taken with its
    // record in one transaction; `given` is called on this object's thread with
    // the number's text once it is taken, or with why none was (the series is
    // used up: the record is written without one). A record finished before
    // its number was taken takes none, and `given` is not called.
    std::string Begin(const TControllerRecord& record, const TJournalContext& context,
                      const std::optional<TUnitSeries>& series = std::nullopt,
                      std::function<void(const QString& unit, const QString& usedUp)> given = {});
    // The controller's session has ended: its record is written finished, in
    // the place of the one begun under `id` (none: a record of its own).
    // `recorded` is called on this object's thread with true once the record is
    // durable, or with false by Finish when it could not be written. Never
    // waits.
    void Complete(const std::string& id, const TControllerRecord& record, const TJournalContext& context,
                  std::function<void(bool recorded)> recorded = {});

    // Called on this object's thread: a write failed (for the first failure of
    // a run of them, and again when the cause changes), and writing works
    // again after failing.
    std::function<void(const QString& error)> OnWriteFailed;
    std::function<void()> OnWriteRecovered;
    // Called on this object's thread when the forwarder's last error changes:
    // its first failure, a change of cause, and recovery (the error empty).
    std::function<void(const TJournalForwarderStatus& status)> OnForwardingChanged;

    // Waits at most FinishWait for every record to be written, serving the
    // events meanwhile, then stops writing: for a program about to end. The
    // `recorded` calls of the records written are made as they are written;
    // then those of the records that could not be written are made with false,
    // and those records are returned, in full. Once only.
    std::vector<TJournalRecord> Finish();
    // Waits (at most `limit`) until the records written are on the server; for
    // a program about to end, after Finish. Nothing when none waits, or no
    // server is named; otherwise the forwarder's state, with the records
    // still waiting counted in the file: they go next time.
    std::optional<TJournalForwarderStatus> WaitForForwarding(std::chrono::milliseconds limit);
    std::optional<TJournalForwarderStatus> ForwardingStatus() const;
    // How many numbers of `series` are still to be given, read without
    // writing. Throws TJournalError.
    std::int64_t UnitsLeft(const TUnitSeries& series) const;

    // Counts today's records (since local midnight) on the journal's thread,
    // after the records already handed over, and then calls OnCounted on this
    // object's thread; requests made meanwhile are served by one count. A
    // journal that cannot be read is not counted, and OnCounted is not called.
    void CountToday();
    std::function<void(const TJournalSummary& today)> OnCounted;

private:
    void Written(std::uint64_t number);
    bool AllWritten() const;

    std::filesystem::path file_;
    std::unique_ptr<TJournalWriterShared> shared_; // with the writer's thread
    std::unique_ptr<TJournalForwarder> forwarder_;
    std::uint64_t next_ = 0;
    // What to tell when the record of that number is durable; on this thread only.
    std::map<std::uint64_t, std::function<void(bool)>> recorded_;
    std::map<std::uint64_t, std::function<void(const QString&, const QString&)>> unitGiven_;
};
