#pragma once

// What qr740-flash tells about its run, port by port: one interface, printed
// for people (consoleprinter) or as JSON lines (jsonprinter).

#include "journalforwarder.h"
#include "sessionevents.h"

#include <QString>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

struct TFlashPort;

// The forwarding of the records to the factory's server, as the run tells it.
struct TForwardingState {
    std::string Server;              // as named, without its password
    std::filesystem::path Journal;   // where the records wait
    TJournalForwarderStatus Status;
};

// How far one port's programming has come.
struct TFlashProgress {
    std::uint64_t Examined = 0; // blocks of the walk
    std::uint64_t Total = 0;
    std::uint64_t Sent = 0;     // of ToSend, the blocks that are not blank
    std::uint64_t ToSend = 0;
    // Both negative until two blocks have gone out and been answered: one
    // block's time says nothing of the line's pace. The rate counts the bytes
    // of blocks sent only, so it never passes the line's own.
    double BytesPerSecond = -1;
    double SecondsLeft = -1;
};

// One controller's end, with what the record does not know itself.
struct TFlashController {
    int Number = 0;       // on its port, counted from 1
    QString NewVersion;   // the version the image carries
    TControllerRecord Record;
    // Whether its record is in the journal: none when no journal is kept
    // (--no-journal), false when it could not be written.
    std::optional<bool> Recorded;
};

// One port's account at the end of the run.
struct TFlashPortSummary {
    QString Port;
    int Programmed = 0;
    int Failed = 0;
    bool WaitExpired = false;
};

class TFlashReport {
public:
    virtual ~TFlashReport() = default;

    virtual void Waiting(const TFlashPort& port) = 0;
    virtual void Status(const TFlashPort& port, TSessionStatus status, const QString& text) = 0;
    // The controller on the port has identified itself, and no label has
    // been scanned for it yet (--units).
    virtual void WaitingForUnit(const TFlashPort& port) = 0;
    virtual void Progress(const TFlashPort& port, const TFlashProgress& progress) = 0;
    // The controller on the port has identified itself: its record so far,
    // with its unit once that is known (then said again). For a front end
    // that shows who is on the line before the controller ends.
    virtual void Identified(const TFlashPort& /*port*/, const TControllerRecord& /*record*/) {}
    // The programmer's own messages and the port's failures.
    virtual void Error(const TFlashPort& port, const QString& text) = 0;
    virtual void Controller(const TFlashPort& port, const TFlashController& controller) = 0;
    // The image file changed on disk during the run, and was not pinned: from
    // this controller on, the file with digest `now` is programmed. Said once
    // per change, on the port that found it.
    virtual void ImageChanged(const TFlashPort& port, const QString& before, const QString& now) = 0;
    // No controller announced itself within --wait.
    virtual void WaitExpired(const TFlashPort& port, double seconds) = 0;
    virtual void Done(const std::vector<TFlashPortSummary>& ports, int exitStatus) = 0;

    // The journal could not take a record (`error`; it is kept and tried
    // again), for the first failure of a run of them and at each change of
    // cause; or it takes records again (`error` empty).
    virtual void JournalWrite(const QString& error, const std::filesystem::path& journal) = 0;
    // The forwarder's state changed: its first failure, a change of cause,
    // recovery (LastError empty), or, `atEnd`, what is left as the program
    // ends.
    virtual void Forwarding(const TForwardingState& state, bool atEnd = false) = 0;
};

// The texts on standard error, the same for people and for programs.
QString ImageChangedText(const QString& before, const QString& now);
QString JournalWriteText(const QString& error, const std::filesystem::path& journal);
QString ForwardingText(const TForwardingState& state, bool atEnd);
