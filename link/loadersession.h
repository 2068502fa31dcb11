#pragma once

// The conversation with one controller on one port, from the boot ROM's first
// byte to the last parameter line. Where things are:
//   loadersession.cpp  the stages and their receive handlers, the loader
//                      upload, the version query, the time-out, the reset, the
//                      pauses, and what happens when something fails;
//   upload.cpp         the programming sequencer (erase, blocks, restart);
//   parameters.cpp     the parameter download.
//
// It owns no widget and no process-wide state. A front end provides the
// operator's choices (TSessionHost) and listens to what happens
// (TSessionListener); the window, the command line and each port of a gang are
// such front ends. Everything runs on the thread that owns the session and its
// port, and nothing in it waits: pauses are timers, writes never block (the
// port queues what the line cannot take yet), and each failure of the port
// reaches the session that owns it. So several sessions on one thread never
// hold one another up.

#include "conversation.h"
#include "flashplan.h"
#include "paramlines.h"
#include "sessionevents.h"
#include "sessionfiles.h"
#include "sessiontexts.h"

#include <QFileSystemWatcher>
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

// The boot ROM's handshake bytes.
inline constexpr std::uint8_t kAck = 0x06;
inline constexpr std::uint8_t kNak = 0x15;

// The durations of the pauses, as the controller needs them.
inline constexpr std::chrono::milliseconds kResetPause = TSessionTiming{}.ResetPause;
inline constexpr std::chrono::milliseconds kRestartPause = TSessionTiming{}.RestartPause;
inline constexpr std::chrono::milliseconds kParameterPortPause = TSessionTiming{}.ParameterPortPause;
// A serial number is taken on the journal's thread, usually long before the
// upload; the upload asks again this often, for at most kUnitWait, before the
// controller is failed untouched.
inline constexpr std::chrono::milliseconds kUnitPoll{100};
inline constexpr std::chrono::milliseconds kUnitWait{15000};

// The boot ROM takes the loader's length in 16 bits.
inline constexpr std::uint64_t kLoaderSizeLimit = 0xFFFF;
// An identification longer than this names no loader: a line that floods the
// programmer with bytes and no ACK must not grow it without bound.
inline constexpr std::size_t kTargetIdLimit = 4096;
// A parameter file is read whole when the download starts; one larger than
// this is no parameter file.
inline constexpr std::uint64_t kParameterFileLimit = 16 * 1024 * 1024;

struct TImageReadJob;

class TLoaderSession {
public:
    TLoaderSession(TVaCustomComm& port, TSessionHost& host, TSessionListener& listener);
    ~TLoaderSession();
    TLoaderSession(const TLoaderSession&) = delete;
    TLoaderSession& operator=(const TLoaderSession&) = delete;

    // Durations; a change applies from the next request or pause on.
    void SetTiming(const TSessionTiming& timing);
    const TSessionTiming& Timing() const { return Timing_; }

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
    // The reset of the conversation: back to WaitingForTarget, and the port
    // reopened at 9600 baud once the reset's pause is over. A controller whose
    // session was under way counts as interrupted. When the port's device has
    // gone, it is then looked for until it is back; other failures to reopen
    // leave the port closed. Failures go to the listener, never to the caller.
    void bResetLoaderClick();
    // A failure that escaped one of the port's handlers or the session's own
    // timers. It is shown once. A line found dead is closed and looked for as
    // after the reset, and the next controller is waited for once it is back;
    // a controller's session under way ends there, failed for the port's own
    // reason, whatever request was outstanding.
    void PortFailed(std::exception_ptr error);
    bool LookingForPort() const { return PortSearch_.isActive(); }
    // The operator chose another port: the one that had gone is no longer wanted.
    void StopLookingForPort();
    // A pause is running; the session goes on by itself after it.
    bool Pausing() const { return Pause_.isActive(); }

    // Programming.
    // Upload Now may start an upload: a version reply has given the flash
    // geometry and no upload has started since.
    bool UploadNowReady() const { return UploadNowReady_; }
    void bGoClick();
    void StartUpload();
    // The image read for the upload about to begin: the erase follows.
    void ImageRead(TImageRead image);
    // Whether the unit is known (or none is wanted) so that the upload may
    // begin; otherwise it waits for it, or has failed.
    bool UnitReady();
    void ContinueUpload(bool Ok);
    void SendErase();
    // Examines the next block; true when programming has finished. Skipped tells
    // whether the block examined was blank and nothing was sent.
    bool NextBlock(bool& Skipped);
    // Sends the block at Address unless it is blank, then moves Address on; true
    // when it was blank.
    bool SendBlock();
    // Sends the restart frame 'S' (no button calls it, whatever its name says).
    void bResetClick();

    // Parameter download.
    bool OpenParameterFile();
    // Sends the next line of the file; true when there is none left to send
    // (every line has been sent, and the answer just received was to the last).
    bool SendNextParameter();
    void SendParameterLine(const std::string& Line);

    // The front end is going: nothing of the conversation runs afterwards. A
    // controller whose session was under way counts as interrupted, for `why`.
    void Shutdown(const QString& why = QStringLiteral("The programmer was closed"));

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
    // The image is being read for the upload about to begin.
    bool ReadingImage() const { return ImageJob_ != nullptr; }
    // A parameter download is under way: its file is open, and the answer to
    // its last line has not come yet.
    bool ParamsPending() const { return ParamsPending_; }
    // Blocks examined by the running or last upload, and how many it will examine.
    std::uint64_t BlocksExamined() const { return BlocksExamined_; }
    std::uint64_t BlocksTotal() const { return BlocksTotal_; }
    std::uint64_t BlocksSent() const { return BlocksSent_; }
    // The blocks the running or last upload sends in all, known once its image
    // is read: the time left follows from them.
    std::uint64_t BlocksToSend() const { return BlocksToSend_; }
    // A controller's session is under way (it has answered the handshake and
    // has not ended yet).
    bool ControllerActive() const { return RecordOpen_; }

    TConversation& Conversation() { return Link_; }

private:
    using TStep = void (TLoaderSession::*)();

    void ShowStatus(TSessionStatus status, const QString& text);
    // Answers the boot ROM's announcement with "APL"; false when the answer
    // could not be written (the session has failed then).
    bool AnswerAnnouncement();
    // The identification's ACK has come: its loader is looked up and sent.
    void IdentificationEnded();
    void InstallHandler(LoaderStage stage);
    // Asks the port to announce received bytes once the reply being received
    // can be whole, rather than byte by byte; byte by byte where no frame is
    // awaited.
    void UpdateRxThreshold();
    // A receive notification begins: the bytes it announces belong to the port
    // as it is now, and to the session as it is now.
    void BeginNotification();
    // Reads the notification's bytes, at most `count`, in one go; false when the
    // notification is over for this handler (see ReadByte).
    bool ReadBytes(std::int32_t count);
    // The next byte of the notification; false when the notification is over
    // for this handler: none is left, the port was closed or reopened, or the
    // session failed or paused while an earlier byte was handled. The rest of
    // the notification is then dropped.
    bool ReadByte(std::uint8_t& b);
    // Passes announced bytes to the receiver until one completes an intact reply.
    bool NextReply();
    // The fewest data bytes a reply to the request awaited must carry.
    std::size_t LeastReplyData() const;
    // Whether an intact reply answers the request outstanding, and is long
    // enough for what is read of it. Anything else is dropped as a broken reply
    // would be, and the request's time-out keeps running.
    bool TakesReply() const;
    // Stops whatever a running handler or pause was about: the notification
    // being handled ends, and bytes that arrive are read and dropped.
    void SetAside();
    // Before any error is shown: no time-out armed, no handler acting on bytes,
    // and the notification being handled ends.
    void MakeSafe();
    void Fail(TFailure failure, const QString& text);
    void FailAndReset(TFailure failure, const QString& text);
    // A request could not be written whole: the line is no longer in a state
    // the conversation knows, so it is reset.
    void SendFailed(const EVaCommError& error);
    // Runs a timer's or a handler's work; what escapes it is the port's failure.
    template <typename Work>
    void Guarded(Work&& work);

    // Pauses: the session waits by a timer, then takes the step.
    void PauseThen(std::chrono::milliseconds period, TStep then);
    void CancelPause();
    void ReopenAfterReset();
    // Looks for the port's device until it is back: at once whenever the folder
    // it appears in changes, and once a second all the same, since a watch can
    // miss what a folder that is itself made anew does.
    void StartLookingForPort();
    void LookForPort();
    // The line went: it is closed, and looked for until it is back.
    void LineLost();
    // Forgets the controller the conversation was with: its versions, its
    // geometry, the upload and the files; the display shows none of it.
    void ForgetController();

    // The controller's record.
    void StartRecord();
    // `message` is what the operator was told last, on success too.
    void EndController(TOutcome outcome, TFailure failure, const QString& message);

    void VersionReply();
    void FinishProgramming();
    void RestartPauseEnded();
    void StartParameters();
    void OpenParameterPort();
    void EndParameters(TFailure failure, const QString& message);
    // The controller answered the command outstanding, refusing it or not.
    void ParameterAnswered(bool refused);
    QString RefusalText() const;
    void ReleaseImage();
    void ReleaseFiles();
    // Reads the image on a thread of its own and goes on in ImageRead, or
    // fails the controller after Timing_.ImageRead.
    void ReadImageAside(const QString& path);
    void ImageTookTooLong();
    // A read under way is of no more use: its result is dropped.
    void AbandonImageRead();
    QString ImagePath() const;
    QString ParameterPath() const;

    TVaCustomComm& ProgPort;
    TSessionHost& Host;
    TSessionListener& Listener;
    TSessionTiming Timing_;
    TConversation Link_;
    QTimer PortSearch_;
    QFileSystemWatcher DeviceWatch_;
    QTimer Pause_;
    TStep AfterPause_ = nullptr;
    // The image read under way, if any. Read on a thread of its own: a large
    // HEX file takes tens of milliseconds, and a file on a share that hangs
    // takes any time, while the other ports on this thread must go on.
    std::shared_ptr<TImageReadJob> ImageJob_;
    QTimer ImageWait_;
    QObject ImageArrival_; // the read's result comes through this object's events
    bool ShutDown_ = false;
    bool SetAside_ = false; // bytes are being read and dropped (see SetAside)
    // Moves on whenever what a running handler was told may no longer hold
    // (the session failed, paused, or the port was reset); see ReadByte.
    std::uint64_t Epoch_ = 0;
    std::uint64_t NotificationEpoch_ = 0;
    std::uint64_t NotificationOpenCount_ = 0;
    std::uint64_t Notifications_ = 0; // counts them, for telling one from the next
    std::vector<std::uint8_t> Received_; // the notification's bytes, read in one go
    std::size_t ReceivedAt_ = 0;
    // The command letter of the request whose reply is awaited; 0 for none.
    std::uint8_t Awaiting_ = 0;

    LoaderStage Stage_ = WaitingForTarget;
    std::uint8_t LastByte_ = 0;
    std::string TargetId_;
    bool TargetIdTooLong_ = false;
    // An ACK before any identification byte: the end of an empty
    // identification, or the first half of another announcement; the next
    // byte tells which.
    bool AckHeld_ = false;
    // The notification whose bytes the last "APL" answered: announcements that
    // came in it had queued up before the answer went out.
    std::uint64_t AnsweredIn_ = 0;
    QString LoaderFile_;
    std::uint16_t CurrentVersion_ = 0;
    TFlashGeometry Geometry_;
    bool UploadNowReady_ = false;
    // How long the upload has waited for the unit's serial number.
    std::chrono::milliseconds UnitWaited_{0};

    UploadPhase Phase_ = Erasing;
    std::int32_t EraseStep_ = 0;
    std::uint64_t Address_ = 0;
    // The part of the image the flash range covers, read once when the upload
    // starts, so that every block sent comes from one version of the file.
    std::vector<std::uint8_t> Image_;
    bool ImageLoaded_ = false;
    std::uint64_t BlocksTotal_ = 0;
    std::uint64_t BlocksToSend_ = 0;
    std::uint64_t BlocksExamined_ = 0;
    std::uint64_t BlocksSent_ = 0;
    TBlockGauge Gauge_;

    // The parameter file, open from the restart until the answer to its last
    // line, and how far the download has come through it.
    std::unique_ptr<TParameterFile> ParamFile_;
    std::size_t ParamsAt_ = 0;
    bool ParamsPending_ = false;
    TParameterLineSplitter Splitter_;
    // The command whose answer is awaited ("ATCODE=1" or a line of the file)
    // and the answer line as far as it has come; a line may arrive in pieces.
    std::string Outstanding_;
    bool OutstandingFromFile_ = false;
    TAnswerLineReader Answer_;
    // What the controller refused: "ATCODE=1", and the first command refused.
    bool ModeRefused_ = false;
    std::string FirstRefused_;

    TControllerRecord Record_;
    bool RecordOpen_ = false;
};
