#pragma once

// What a front end gives a session and what it hears back. The window, the
// command line and each port of a gang are front ends of the same session: each
// provides the operator's choices and the settings (TSessionHost), and listens
// to what the session does (TSessionListener). The end of a controller's
// session is data (TControllerRecord), never only a text on a screen.

#include "flashplan.h"

#include <QString>

#include <chrono>
#include <cstdint>
#include <string>

enum LoaderStage : std::uint8_t {
    WaitingForTarget,
    WaitingForTargetId,
    LoadingTargetLoader,
    GettingVersion,
    SettingParameters,
};

enum UploadPhase : std::uint8_t { Erasing, Programming, LoadingParameters };

// What the session is doing, finer than its stage: every text the window's
// status line shows has one, so that a program can follow without reading text.
enum class TSessionStatus : std::uint8_t {
    WaitingForTarget,
    WaitingForTargetId,
    LoadingTargetLoader,
    GettingVersion,
    WaitingForUploadNow,
    ProgrammingFlash,
    FlashUpdateComplete,
    SettingParameters,
    ParameterLoadComplete,
    ParameterLoadFailed,
};

// How one controller's session ended.
enum class TOutcome : std::uint8_t {
    Programmed,               // the flash is written; no parameter file was named
    ProgrammedWithParameters, // and the parameters are loaded
    Failed,                   // the session ended on an error; Failure says which
    Interrupted,              // a reset, the window closing or a signal ended it
};

// Why a session failed. Each kind is one of the operator's messages (or the
// port's own text for PortError).
enum class TFailure : std::uint8_t {
    None,
    NoLoader,          // "No Loader Defined"
    LoaderUnreadable,  // "<file> Not Found"
    LoaderTooLarge,    // "Target Loader <file> Is Too Large ..."
    NoResponse,        // "Target Did Not Respond ..."
    EraseRefused,      // "NAK rcvd while erasing Flash Blocks"
    BlockRefused,      // "NAK rcvd while Updating Flash"
    RestartRefused,    // "NAK rcvd while Loading Parameters"
    UnusableGeometry,  // "Target Reported An Unusable Flash ..."
    ImageUnusable,     // "Target Binary File <path> Not Found", "... Is Empty", ...
    ParameterFile,     // "Parameter File Not Found", or the file could not be read
    PortError,         // the port failed under the session, or its line went
    ParameterRefused,  // the controller answered "ERROR" to parameter commands
};

// The facts of one controller's session, from the handshake's answer to its end.
struct TControllerRecord {
    TOutcome Outcome = TOutcome::Failed;
    TFailure Failure = TFailure::None;
    // What the operator was told at the end: the final status text on success
    // ("Flash Update Complete", "Parameter Load Complete"), the error otherwise.
    QString Message;
    std::chrono::system_clock::time_point Started;
    std::chrono::system_clock::time_point Ended;

    std::string TargetId;  // as the boot ROM sent it
    // The unit: the serial number written into it, or the label scanned from it;
    // empty when neither.
    QString Unit;
    QString LoaderFile;    // as [Loader] names it
    QString LoaderPath;    // where it was read from
    QString LoaderSha256;  // hex; empty when it was not read
    QString LoaderVersion; // the loader's first reply
    bool VersionKnown = false;
    std::uint16_t InstalledVersion = 0; // hundredths
    TFlashGeometry Geometry;            // zero until the version reply

    QString ImagePath; // empty until an upload began
    std::uint64_t ImageSize = 0;
    QString ImageSha256;
    // Of the flash's bytes as programmed, whatever file they came in (flashdigest.h).
    QString FlashSha256;
    std::uint64_t BlocksTotal = 0;
    std::uint64_t BlocksExamined = 0;
    std::uint64_t BlocksSent = 0;
    std::uint64_t BlocksSkipped() const { return BlocksExamined - BlocksSent; }

    QString ParameterPath; // empty when no parameter file was named
    QString ParameterSha256;
    // The file's lines the controller answered, without and with "ERROR".
    // "ATCODE=1" is no line of the file and counts in neither; a refusal of it
    // still fails the download.
    std::uint32_t ParameterLines = 0;
    std::uint32_t ParameterLinesRefused = 0;
};

// Durations a front end may change: tests shorten them, nothing else should.
struct TSessionTiming {
    // How long the controller has for each answer.
    std::chrono::milliseconds Reply{8000};
    // The reset leaves the port closed this long, so that the adapter and the
    // controller have let go of the line before it is opened again.
    std::chrono::milliseconds ResetPause{1000};
    // The controller restarts after the 'S' reply; its parameter mode is not
    // ready before this has passed.
    std::chrono::milliseconds RestartPause{2000};
    // Between closing the port and reopening it at the parameter speed.
    std::chrono::milliseconds ParameterPortPause{1000};
    // How often a port whose device has gone is looked for again.
    std::chrono::milliseconds PortSearch{1000};
    // The image is read off the port's thread; a file that takes longer than
    // this (a share that has gone away) fails the controller before its erase.
    std::chrono::milliseconds ImageRead{15000};
};

// The unit a controller is, as its front end knows it when the upload is about
// to begin: a label scanned from it, or a serial number to write into it.
struct TUnitAnswer {
    enum TState : std::uint8_t {
        None,    // no unit: nothing is written into it, the record names none
        Pending, // a serial number is being taken, or a label scanned; the upload
                 // waits for it. Text, when given, names what is awaited ("Unit
                 // Label") for the failure when it does not come in time.
        Known,   // Text is the unit
        Refused, // Text says why no unit can be had (a series used up)
    };
    TState State = None;
    QString Text;
};

// The image a front end expects a session to program, by the SHA-256 of its
// file as read (hex, lower case). Pinned, a file that reads otherwise is
// refused; not pinned, it is the digest the front end last heard of, and a
// file that reads otherwise is programmed and said (ImageChanged).
struct TImageExpectation {
    QString Sha256; // empty: none
    bool Pinned = false;
};

// What a front end must provide: the operator's choices and the settings.
class TSessionHost {
public:
    virtual ~TSessionHost() = default;

    virtual bool AutoProgram() const = 0;
    // The image and the parameter file: folder (with its trailing separator),
    // name as the operator sees it, and extension with its dot. An empty
    // parameter name means no parameter download.
    virtual QString ImageFolder() const = 0;
    virtual QString ImageName() const = 0;
    virtual QString ImageExtension() const = 0;
    virtual QString ParameterFolder() const = 0;
    virtual QString ParameterName() const = 0;
    virtual QString ParameterExtension() const = 0;
    // The loader file named for an identification, empty when there is none.
    virtual QString LoaderFor(const std::string& targetId) const = 0;
    // The folder loader names are relative to, with its trailing separator.
    virtual QString ProgramFolder() const = 0;
    // The unit of the controller identified last; asked before its flash is
    // erased, and again while Pending.
    virtual TUnitAnswer UnitOfController() const { return {}; }
    // Whether a controller that announces itself now is taken; one that is
    // not hears no answer, and nothing is recorded of it.
    virtual bool TakesController() const { return true; }
    // Asked each time the image is read, before the erase.
    virtual TImageExpectation ExpectedImage() const { return {}; }
};

// What a front end may listen to. Every call comes on the thread that owns the
// session; none may destroy the session. A listener may run an event loop of
// its own in ShowError and ShowPortError (a modal box): the session has made
// itself safe before calling them.
class TSessionListener {
public:
    virtual ~TSessionListener() = default;

    // The status line: what the session is doing, and the window's text for it.
    virtual void StatusChanged(TSessionStatus /*status*/, const QString& /*text*/) {}
    virtual void ShowLoaderVersion(const QString& /*text*/) {}
    virtual void ShowCurrentVersion(const QString& /*text*/) {}
    virtual void EnableUploadNow(bool /*enabled*/) {}
    // The needle: its range is always 0 … maxValue.
    virtual void SetProgressRange(std::int32_t /*maxValue*/) {}
    virtual void SetProgress(std::int32_t /*value*/) {}
    virtual void AdvanceProgress(std::int32_t /*step*/) {}
    // Programming: blocks examined of the total, and how many were sent.
    virtual void BlocksDone(std::uint64_t /*examined*/, std::uint64_t /*total*/, std::uint64_t /*sent*/) {}
    // The programmer's own errors ("Error" box in the window).
    virtual void ShowError(const QString& /*text*/) {}
    // A failure of the port itself, in the port's own words.
    virtual void ShowPortError(const QString& /*text*/) {}
    // A pause begins; the session goes on by itself when it is over.
    virtual void Pausing(std::chrono::milliseconds /*period*/) {}
    // A controller has announced itself, and its session begins.
    virtual void ControllerStarted() {}
    // The controller has sent its identification: what its record holds so far
    // (started, identification, loader file), for a record written from here
    // on. ControllerEnded follows for the same controller.
    virtual void ControllerIdentified(const TControllerRecord& /*record*/) {}
    // A controller's session has ended.
    virtual void ControllerEnded(const TControllerRecord& /*record*/) {}
    // The image file is not the one ExpectedImage named (and that was not
    // pinned): this controller gets the file as it now reads, `now`.
    virtual void ImageChanged(const QString& /*before*/, const QString& /*now*/) {}
};
