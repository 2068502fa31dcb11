#pragma once

// The conversation with the controller, from the boot ROM's first byte to the
// last parameter line: the stages and their receive handlers, the loader upload,
// the version query, the flash programming sequence, the parameter download, the
// response time-out and the reset.
//
// It owns no widget. It drives the window through TLoaderView, reads what the
// operator chose through it, and talks to the controller through the window's
// port. Everything runs on the user-interface thread: the receive handlers are
// called by the port's event hand-off, the time-out by a timer, the rest by the
// window's buttons.

#include "conversation.h"
#include "flashplan.h"
#include "paramlines.h"
#include "sessionfiles.h"

#include <QString>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

class EVaCommError;
class TVaCustomComm;

enum LoaderStage : std::uint8_t {
    WaitingForTarget,
    WaitingForTargetId,
    LoadingTargetLoader,
    GettingVersion,
    SettingParameters,
};

// The status text shown on entering a stage; empty for values past the last stage.
QString StageText(LoaderStage stage);

enum UploadPhase : std::uint8_t { Erasing, Programming, LoadingParameters };

// The boot ROM's handshake bytes.
inline constexpr std::uint8_t kAck = 0x06;
inline constexpr std::uint8_t kNak = 0x15;
inline constexpr std::uint8_t kLineFeed = 0x0A;

// The reset leaves the port closed this long, so that the adapter and the
// controller have let go of the line before it is opened again.
inline constexpr std::chrono::milliseconds kResetPause{1000};
// The controller restarts after the 'S' reply; its parameter mode is not ready
// before this has passed.
inline constexpr std::chrono::milliseconds kRestartPause{2000};
// Between closing the port and reopening it at the parameter speed.
inline constexpr std::chrono::milliseconds kParameterPortPause{1000};
// How often a port whose device has gone is looked for again.
inline constexpr std::chrono::milliseconds kPortSearchPeriod{1000};

// The boot ROM takes the loader's length in 16 bits.
inline constexpr std::uint64_t kLoaderSizeLimit = 0xFFFF;
// An identification longer than this names no loader: a line that floods the
// programmer with bytes and no ACK must not grow it without bound.
inline constexpr std::size_t kTargetIdLimit = 4096;

// The installed firmware version as the window shows it: 303 is "3.03".
QString VersionText(std::uint16_t hundredths);

// Sets a closed port up as the boot ROM expects the line: 9600 baud 8N1, no
// flow control, DTR and RTS held low, and a notification for every received
// character, which the stages' handlers read.
void SetUpProgrammerPort(TVaCustomComm& port);

// What the conversation needs of the window.
class TLoaderView {
public:
    virtual ~TLoaderView() = default;

    // What it shows.
    virtual void ShowState(const QString& text) = 0;
    virtual void ShowLoaderVersion(const QString& text) = 0;
    virtual void ShowCurrentVersion(const QString& text) = 0;
    virtual void EnableUploadNow(bool enabled) = 0;
    // The needle's range is always 0 … maxValue.
    virtual void SetProgressRange(std::int32_t maxValue) = 0;
    virtual void SetProgress(std::int32_t value) = 0;
    virtual void AdvanceProgress(std::int32_t step) = 0;
    // The programmer's own errors: a modal box captioned "Error" with a warning
    // icon. It returns when the operator has closed it.
    virtual void ShowError(const QString& text) = 0;
    // A failure of the port itself, in the port's own words: the application's
    // report (a box with a stop icon in the window). Returns when it has been
    // seen.
    virtual void ShowPortError(const QString& text) = 0;

    // What it reads.
    virtual bool AutoProgram() const = 0;
    // The image and the parameter file: folder (with its trailing separator),
    // name as the edit box shows it, and extension with its dot.
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

    // Blocks the user-interface thread for the given time.
    virtual void Pause(std::chrono::milliseconds period) = 0;
};

class TLoaderSession {
public:
    TLoaderSession(TVaCustomComm& port, TLoaderView& view);
    ~TLoaderSession();
    TLoaderSession(const TLoaderSession&) = delete;
    TLoaderSession& operator=(const TLoaderSession&) = delete;

    // Stages.
    void SetStage(LoaderStage stage);
    void OnRxWaitTarget(TVaCustomComm* Sender, std::int32_t Count);
    void OnRxWaitTargetId(TVaCustomComm* Sender, std::int32_t Count);
    void OnRxLoaderReply(TVaCustomComm* Sender, std::int32_t Count);
    void OnRxCommandReply(TVaCustomComm* Sender, std::int32_t Count);
    void OnRxParameterReply(TVaCustomComm* Sender, std::int32_t Count);
    void UploadTargetLoader();
    void RequestVersion();
    void timeOutTimer();
    // The reset of the conversation: back to WaitingForTarget with the port
    // reopened at 9600 baud. An error in reopening leaves it and the port closed;
    // when the port's device has gone, it is then looked for once a second,
    // without a message, and opened as soon as it is back.
    void bResetLoaderClick();
    // A failure that escaped one of the port's handlers or the session's own
    // timers. It is shown once. A line found dead while a request is
    // outstanding is left to the request's time-out and the reset; a line found
    // dead while nothing is outstanding is closed and looked for as after the
    // reset, and the next controller is waited for once it is back.
    void PortFailed(std::exception_ptr error);
    bool LookingForPort() const { return PortSearch_.isActive(); }
    // The operator chose another port: the one that had gone is no longer wanted.
    void StopLookingForPort() { PortSearch_.stop(); }

    // Programming.
    // Upload Now may start an upload: a version reply has given the flash
    // geometry and no upload has started since.
    bool UploadNowReady() const { return UploadNowReady_; }
    void bGoClick();
    void StartUpload();
    void ContinueUpload(bool Ok);
    void SendErase();
    // Examines the next block; true when programming has finished. Skipped tells
    // whether the block examined was blank and nothing was sent.
    bool NextBlock(bool& Skipped);
    // Sends the block at Address unless it is blank, then moves Address on; true
    // when it was blank.
    bool SendBlock();
    // The restart frame 'S'.
    void bResetClick();

    // Parameter download.
    bool OpenParameterFile();
    // Sends the next line of the file; true when the end of the file has been
    // reached. Throws when the file cannot be read or the line cannot be sent.
    bool SendNextParameter();
    void SendParameterLine(const std::string& Line);

    // The window is closing: nothing of the conversation runs afterwards.
    void Shutdown();

    LoaderStage Stage() const { return Stage_; }
    UploadPhase Phase() const { return Phase_; }
    std::int32_t EraseStep() const { return EraseStep_; }
    std::uint64_t Address() const { return Address_; }
    std::uint8_t LastByte() const { return LastByte_; }
    const std::string& TargetId() const { return TargetId_; }
    const QString& LoaderFile() const { return LoaderFile_; }
    std::uint16_t CurrentVersion() const { return CurrentVersion_; }
    const TFlashGeometry& Geometry() const { return Geometry_; }
    bool ImageOpen() const { return ImageLoaded_; }
    // A parameter file is open and its end not yet reached.
    bool ParamsPending() const { return ParamStream_ != nullptr; }
    // Blocks examined by the running or last upload, and how many it will examine.
    std::uint64_t BlocksExamined() const { return BlocksExamined_; }
    std::uint64_t BlocksTotal() const { return BlocksTotal_; }
    std::uint64_t BlocksSent() const { return BlocksSent_; }

    TConversation& Conversation() { return Link_; }

private:
    void InstallHandler(LoaderStage stage);
    // A receive notification begins: the bytes it announces belong to the port
    // as it is now, and to the session as it is now.
    void BeginNotification();
    // Reads the next announced byte; false when the notification is over for
    // this handler: none is there (the port was purged), the port was closed or
    // reopened, or the session failed while an earlier byte was handled. The
    // rest of the notification is then dropped.
    bool ReadByte(std::uint8_t& b);
    // Passes announced bytes to the receiver until one completes an intact reply;
    // false once the notification's `Left` bytes are used up.
    bool NextReply(std::int32_t& Left);
    // Whether an intact reply answers the request outstanding, and is long
    // enough for what is read of it. Anything else is dropped as a broken reply
    // would be, and the request's time-out keeps running.
    bool TakesReply() const;
    // Before any error is shown: no time-out armed, no handler acting on bytes,
    // and the notification being handled ends. Bytes that arrive while the box
    // is open are read and dropped.
    void MakeSafe();
    void Fail(const QString& text);
    void FailAndReset(const QString& text);
    // A request could not be written whole: the line is no longer in a state
    // the conversation knows, so it is reset.
    void SendFailed(const EVaCommError& error);
    // Runs a timer's work; what escapes it is the port's failure.
    template <typename Work>
    void Guarded(Work&& work);
    void VersionReply();
    // Forgets the controller the conversation was with: its versions, its
    // geometry, the upload and the files; the display shows none of it.
    void ForgetController();
    // The line went while nothing was outstanding.
    void LineLost();
    void FinishProgramming();
    void StartParameters();
    void ReleaseImage();
    void ReleaseFiles();
    void LookForPort();
    QString ImagePath() const;
    QString ParameterPath() const;

    TVaCustomComm& ProgPort;
    TLoaderView& View;
    TConversation Link_;
    QTimer PortSearch_;
    bool ShutDown_ = false;
    // Moves on whenever what a running handler was told may no longer hold
    // (the session failed, the port was reset); see ReadByte.
    std::uint64_t Epoch_ = 0;
    std::uint64_t NotificationEpoch_ = 0;
    std::uint64_t NotificationOpenCount_ = 0;
    // The command letter of the request whose reply is awaited; 0 for none.
    std::uint8_t Awaiting_ = 0;

    LoaderStage Stage_ = WaitingForTarget;
    std::uint8_t LastByte_ = 0;
    std::string TargetId_;
    bool TargetIdTooLong_ = false;
    QString LoaderFile_;
    std::uint16_t CurrentVersion_ = 0;
    TFlashGeometry Geometry_;
    bool UploadNowReady_ = false;

    UploadPhase Phase_ = Erasing;
    std::int32_t EraseStep_ = 0;
    std::uint64_t Address_ = 0;
    // The part of the image the flash range covers, read once when the upload
    // starts, so that every block sent comes from one version of the file.
    std::vector<std::uint8_t> Image_;
    bool ImageLoaded_ = false;
    std::uint64_t BlocksTotal_ = 0;
    std::uint64_t BlocksExamined_ = 0;
    std::uint64_t BlocksSent_ = 0;
    TBlockGauge Gauge_;

    std::unique_ptr<TParameterFile> ParamStream_;
    TParameterLineSplitter Splitter_;
};
