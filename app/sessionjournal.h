#pragma once

// Where the window and qr740-flash put the record of every controller's session:
// the local journal (journal.sqlite in the program's folder, or where
// [Journal] File= or --journal names), and, when [Journal] Server= or
// --journal-server names one, the factory's PostgreSQL server the records are
// forwarded to from there.

#include "journal.h"
#include "journalforwarder.h"
#include "sessionevents.h"

#include <QString>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

class TIniFile;

// What the front end knows of a session that the session does not.
struct TJournalContext {
    std::string_view FrontEnd;  // kFrontEndWindow or kFrontEndCommandLine
    std::int32_t ComNumber = 0; // 0 when the port was named by its device path
    std::string DevicePath;
    std::string AdapterSerial; // empty when unknown
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

// The record the journal keeps for a session's record and its context.
TJournalRecord JournalRecordOf(const TControllerRecord& record, const TJournalContext& context);

class TSessionJournal {
public:
    // Opens the journal and starts forwarding. Throws TJournalError when the
    // file cannot be opened for writing.
    explicit TSessionJournal(const TJournalPlace& place);
    ~TSessionJournal();
    TSessionJournal(const TSessionJournal&) = delete;
    TSessionJournal& operator=(const TSessionJournal&) = delete;

    const std::filesystem::path& File() const { return journal_.File(); }
    // Durable on return. Throws TJournalError.
    void Append(const TControllerRecord& record, const TJournalContext& context);
    // Waits (at most `limit`) until the records written are on the server; for
    // a program about to end. False when some still wait: they go next time.
    bool WaitForForwarding(std::chrono::milliseconds limit);
    std::optional<TJournalForwarderStatus> ForwardingStatus() const;

private:
    TJournal journal_;
    std::unique_ptr<TJournalForwarder> forwarder_;
};
