// The stages of the conversation and their receive handlers, the loader upload,
// the version query, the response time-out, the reset, the pauses, and what
// happens when something fails. The upload sequencer is in upload.cpp, the
// parameter download in parameters.cpp.

#include "loadersession.h"

#include "sessionprivate.h"

#include <vacomm.h>
#include <vadcb.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <array>
#include <utility>

using namespace session_detail;

TLoaderSession::TLoaderSession(TVaCustomComm& port, TSessionHost& host, TSessionListener& listener)
    : ProgPort(port), Host(host), Listener(listener), Link_(port)
{
    Link_.OnTimeOut = [this] { Guarded([this] { timeOutTimer(); }); };
    PortSearch_.setInterval(Timing_.PortSearch);
    QObject::connect(&PortSearch_, &QTimer::timeout, &PortSearch_,
                     [this] { Guarded([this] { LookForPort(); }); });
    QObject::connect(&DeviceWatch_, &QFileSystemWatcher::directoryChanged, &DeviceWatch_, [this] {
        if (PortSearch_.isActive())
            Guarded([this] { LookForPort(); });
    });
    Pause_.setSingleShot(true);
    // The controller needs the whole pause: a coarse timer may end it 5% early.
    Pause_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&Pause_, &QTimer::timeout, &Pause_, [this] {
        const TStep then = std::exchange(AfterPause_, nullptr);
        if (then)
            Guarded([this, then] { (this->*then)(); });
    });
    ImageWait_.setSingleShot(true);
    QObject::connect(&ImageWait_, &QTimer::timeout, &ImageWait_, [this] { Guarded([this] { ImageTookTooLong(); }); });
    ProgPort.SetExceptionReport([this](std::exception_ptr error) { PortFailed(error); });
}

TLoaderSession::~TLoaderSession()
{
    Shutdown();
}

void TLoaderSession::SetTiming(const TSessionTiming& timing)
{
    Timing_ = timing;
    Link_.SetReplyTimeout(timing.Reply);
    PortSearch_.setInterval(timing.PortSearch);
}

void TLoaderSession::Shutdown(const QString& why)
{
    if (ShutDown_)
        return;
    if (RecordOpen_)
        EndController(TOutcome::Interrupted, TFailure::None, why);
    ShutDown_ = true;
    ++Epoch_;
    CancelPause();
    StopLookingForPort();
    Link_.DisarmTimeOut();
    Link_.OnTimeOut = nullptr;
    ProgPort.OnRxChar = nullptr;
    ProgPort.SetExceptionReport(nullptr);
    ReleaseFiles();
}

template <typename Work>
void TLoaderSession::Guarded(Work&& work)
{
    try {
        std::forward<Work>(work)();
    } catch (...) {
        PortFailed(std::current_exception());
    }
}

// ---------------------------------------------------------------- stages

void TLoaderSession::ShowStatus(TSessionStatus status, const QString& text)
{
    Listener.StatusChanged(status, text);
}

void TLoaderSession::SetStage(LoaderStage stage)
{
    if (ShutDown_)
        return;
    Stage_ = stage;
    static constexpr std::array<TSessionStatus, 5> statuses = {
        TSessionStatus::WaitingForTarget, TSessionStatus::WaitingForTargetId,
        TSessionStatus::LoadingTargetLoader, TSessionStatus::GettingVersion,
        TSessionStatus::SettingParameters,
    };
    switch (stage) {
    case WaitingForTarget:
        LastByte_ = 0;
        break;
    case WaitingForTargetId:
        TargetId_.clear();
        TargetIdTooLong_ = false;
        AckHeld_ = false;
        break;
    case LoadingTargetLoader:
    case GettingVersion:
    case SettingParameters:
        break;
    default:
        return; // only stored
    }
    InstallHandler(stage);
    ShowStatus(statuses[stage], StageText(stage));
    if (stage == LoadingTargetLoader) {
        Link_.ResetReceiver();
        Link_.ArmTimeOut();
    }
}

void TLoaderSession::InstallHandler(LoaderStage stage)
{
    using THandler = void (TLoaderSession::*)(TVaCustomComm*, std::int32_t);
    static constexpr std::array<THandler, 5> handlers = {
        &TLoaderSession::OnRxWaitTarget,     &TLoaderSession::OnRxWaitTargetId,
        &TLoaderSession::OnRxLoaderReply,    &TLoaderSession::OnRxCommandReply,
        &TLoaderSession::OnRxParameterReply,
    };
    if (ShutDown_ || stage >= handlers.size())
        return;
    const THandler handler = handlers[stage];
    ProgPort.OnRxChar = [this, handler](TVaCustomComm* sender, std::int32_t count) {
        BeginNotification();
        if (ReadBytes(count))
            (this->*handler)(sender, count);
        UpdateRxThreshold();
    };
    SetAside_ = false;
    UpdateRxThreshold();
}

void TLoaderSession::UpdateRxThreshold()
{
    if (ShutDown_ || !ProgPort.IsOpen())
        return;
    const bool framed = !SetAside_ && (Stage_ == LoadingTargetLoader || Stage_ == GettingVersion);
    const std::size_t needed = framed ? std::min<std::size_t>(Link_.ReplyBytesNeeded(LeastReplyData()), 255) : 1;
    try {
        ProgPort.SetRxThreshold(std::int32_t(needed));
    } catch (const EVaCommError&) {
        // A line that takes no setting fails its next read or write as well,
        // and that failure is reported where it happens.
    }
}

void TLoaderSession::BeginNotification()
{
    ++Notifications_;
    NotificationEpoch_ = Epoch_;
    NotificationOpenCount_ = ProgPort.OpenCount();
    Received_.clear();
    ReceivedAt_ = 0;
}

bool TLoaderSession::ReadBytes(std::int32_t count)
{
    // One read for the whole notification: the bytes are handed to the
    // handler one at a time all the same.
    Received_.resize(std::size_t(std::max(count, 0)));
    const std::int32_t got = ProgPort.ReadBuf(Received_.data(), count);
    Received_.resize(std::size_t(std::max(got, 0)));
    return !Received_.empty();
}

bool TLoaderSession::ReadByte(std::uint8_t& b)
{
    // Bytes announced before the port was reopened went with the old line; what
    // the new one holds is the next controller's, and belongs to the handler of
    // the stage the reset entered. Likewise once the session has failed or
    // paused: the rest of what the reply came with is not acted on.
    if (ShutDown_ || Epoch_ != NotificationEpoch_ || ProgPort.OpenCount() != NotificationOpenCount_ ||
        ReceivedAt_ == Received_.size())
        return false;
    b = Received_[ReceivedAt_++];
    return true;
}

void TLoaderSession::OnRxWaitTarget(TVaCustomComm* Sender, std::int32_t Count)
{
    for (std::uint8_t b = 0; ReadByte(b);) {
        const bool announced = LastByte_ == kAck && b == kNak;
        LastByte_ = b;
        if (announced) {
            // What came with the pair is the identification stage's: more
            // pairs that queued up while the thread was busy (the one answer
            // covers them), or the identification itself.
            if (AnswerAnnouncement())
                OnRxWaitTargetId(Sender, Count);
            return;
        }
    }
}

bool TLoaderSession::AnswerAnnouncement()
{
    // Another announcement before the identification: still the same controller.
    if (!RecordOpen_) {
        if (!Host.TakesController())
            return false;
        StartRecord();
    }
    SetStage(WaitingForTargetId);
    AnsweredIn_ = Notifications_;
    // The controller has announced itself: from here on every wait for it
    // ends, the identification's included. Not restarted by an announcement
    // that comes again, so that a controller that never hears the answer is
    // not waited for without end.
    Link_.ArmTimeOut();
    try {
        Link_.SendBytes({reinterpret_cast<const std::uint8_t*>(kBootRomAnswer.data()), kBootRomAnswer.size()});
    } catch (const EVaCommError& e) {
        SendFailed(e);
        return false;
    }
    return true;
}

void TLoaderSession::OnRxWaitTargetId(TVaCustomComm*, std::int32_t)
{
    for (std::uint8_t b = 0; ReadByte(b);) {
        if (AckHeld_) {
            // As while the handshake is awaited, the pair is the last two bytes.
            if (b == kAck)
                continue;
            AckHeld_ = false;
            if (b == kNak) {
                // The boot ROM announces itself again (it restarted, or did not
                // hear the answer): answered again, unless it came with the
                // pair just answered, which answers it too.
                if (AnsweredIn_ != Notifications_ && !AnswerAnnouncement())
                    return;
                continue;
            }
            IdentificationEnded();
            return;
        }
        if (b == kAck && TargetId_.empty() && !TargetIdTooLong_) {
            AckHeld_ = true;
            continue;
        }
        if (b != kAck) {
            if (TargetId_.size() < kTargetIdLimit)
                TargetId_.push_back(char(b));
            else
                TargetIdTooLong_ = true;
            continue;
        }
        // Nothing behind the identification's ACK is identification: the boot
        // ROM waits for its loader.
        IdentificationEnded();
        return;
    }
}

void TLoaderSession::IdentificationEnded()
{
    AckHeld_ = false;
    // The identification's wait ends here; the loader's 8000 ms start now.
    Link_.DisarmTimeOut();
    SetStage(LoadingTargetLoader);
    Record_.TargetId = TargetId_;
    LoaderFile_ = TargetIdTooLong_ ? QString() : Host.LoaderFor(TargetId_);
    Record_.LoaderFile = LoaderFile_;
    if (RecordOpen_)
        Listener.ControllerIdentified(Record_);
    if (LoaderFile_.isEmpty()) {
        Fail(TFailure::NoLoader, QStringLiteral("No Loader Defined"));
        SetStage(WaitingForTarget);
    } else {
        UploadTargetLoader();
    }
}

void TLoaderSession::UploadTargetLoader()
{
    const QString path = Host.ProgramFolder() + LoaderFile_;
    Record_.LoaderPath = path;
    std::vector<std::uint8_t> loader;
    bool more = false;
    int error = 0;
    if (!ReadFileBytes(path, kLoaderSizeLimit, loader, more, error)) {
        Fail(TFailure::LoaderUnreadable, LoaderFile_ + QStringLiteral(" Not Found"));
        SetStage(WaitingForTarget);
        return;
    }
    if (more) {
        // Its length would reach the boot ROM cut to 16 bits, and the controller
        // would run whatever the truncated count left it with.
        Fail(TFailure::LoaderTooLarge, QStringLiteral("Target Loader %1 Is Too Large (more than %2 bytes)")
                                           .arg(LoaderFile_)
                                           .arg(kLoaderSizeLimit));
        SetStage(WaitingForTarget);
        return;
    }
    Record_.LoaderSha256 = Sha256Of(loader);

    // Entered again for its receiver reset; the time-out armed by the
    // identification's ACK keeps running, so the upload and the loader's first
    // reply share its period.
    SetStage(LoadingTargetLoader);
    try {
        const auto n = std::uint16_t(loader.size());
        Link_.ResetCrc();
        Link_.SendByte(std::uint8_t(n));
        Link_.SendByte(std::uint8_t(n >> 8));
        for (std::uint8_t b : loader)
            Link_.SendByte(b);
        Link_.EndFrame();
    } catch (const EVaCommError& e) {
        // The file was there; what failed is the line.
        SendFailed(e);
    }
}

bool TLoaderSession::NextReply()
{
    for (std::uint8_t b = 0; ReadByte(b);) {
        if (Link_.ParseReplyByte(b))
            return true;
    }
    return false;
}

std::size_t TLoaderSession::LeastReplyData() const
{
    // As TakesReply has it: a shorter reply is dropped, and waiting for it to
    // be whole changes nothing but the number of times the line is looked at.
    switch (Awaiting_) {
    case kVersionCommand:
        return 9;
    case kEraseCommand:
    case kProgramCommand:
        return 1;
    default:
        return 0;
    }
}

bool TLoaderSession::TakesReply() const
{
    const std::int32_t length = Link_.RxLength();
    switch (Link_.RxCommand()) {
    case kVersionCommand:
        // Nine data bytes hold the version and the geometry; fewer would leave
        // an earlier frame's bytes in their place.
        return Awaiting_ == kVersionCommand && length >= 9;
    case kEraseCommand:
    case kProgramCommand:
        if (length < 1)
            return false;
        // Either letter answers either request. Where the restart's answer is
        // awaited only a refusal counts: it still ends the run.
        if (Awaiting_ == kRestartCommand)
            return Link_.RxData(1) != kAck;
        return Awaiting_ == kEraseCommand || Awaiting_ == kProgramCommand;
    case kRestartCommand:
        return Awaiting_ == kRestartCommand;
    default:
        return false;
    }
}

void TLoaderSession::OnRxLoaderReply(TVaCustomComm*, std::int32_t)
{
    while (NextReply()) {
        Link_.DisarmTimeOut();
        Record_.LoaderVersion = Latin1(Link_.RxDataText());
        Listener.ShowLoaderVersion(Record_.LoaderVersion);
        SetStage(GettingVersion);
        RequestVersion();
    }
}

void TLoaderSession::RequestVersion()
{
    try {
        Awaiting_ = kVersionCommand;
        Link_.SendRequest(kVersionCommand, 0);
    } catch (const EVaCommError& e) {
        SendFailed(e);
    }
}

void TLoaderSession::OnRxCommandReply(TVaCustomComm*, std::int32_t)
{
    while (NextReply()) {
        if (!TakesReply()) {
            Link_.ResetReceiver();
            continue;
        }
        Link_.DisarmTimeOut();
        Awaiting_ = 0;
        switch (Link_.RxCommand()) {
        case kEraseCommand:
        case kProgramCommand:
            ContinueUpload(Link_.RxData(1) == kAck);
            break;
        case kRestartCommand:
            // The controller is restarting; its parameter mode needs this long,
            // and nothing it says meanwhile is acted on.
            PauseThen(Timing_.RestartPause, &TLoaderSession::RestartPauseEnded);
            break;
        case kVersionCommand:
            VersionReply();
            break;
        default:
            break;
        }
    }
}

void TLoaderSession::VersionReply()
{
    Geometry_.FlashStart = Link_.RxAddress();
    CurrentVersion_ = std::uint16_t(Link_.RxData(1) | Link_.RxData(2) << 8);
    Listener.ShowCurrentVersion(VersionText(CurrentVersion_));
    Geometry_.FlashEnd = std::uint32_t(Link_.RxData(3)) | std::uint32_t(Link_.RxData(4)) << 8 |
                         std::uint32_t(Link_.RxData(5)) << 16 | std::uint32_t(Link_.RxData(6)) << 24;
    Geometry_.BlockSize = std::uint16_t(Link_.RxData(8) | Link_.RxData(9) << 8);
    Record_.VersionKnown = true;
    Record_.InstalledVersion = CurrentVersion_;
    Record_.Geometry = Geometry_;
    if (Host.AutoProgram()) {
        StartUpload();
    } else {
        ShowStatus(TSessionStatus::WaitingForUploadNow, QStringLiteral("Press Upload Now to Start"));
        UploadNowReady_ = true;
        Listener.EnableUploadNow(true);
    }
}

void TLoaderSession::timeOutTimer()
{
    if (Stage_ == WaitingForTargetId && AckHeld_) {
        // An ACK and nothing after it: the controller's identification was
        // empty, which is an answer all the same.
        IdentificationEnded();
        return;
    }
    FailAndReset(TFailure::NoResponse,
                 Stage_ == SettingParameters ? QStringLiteral("Target Did Not Respond While Loading Parameters")
                                             : QStringLiteral("Target Did Not Respond To Loader"));
}

// ---------------------------------------------------------------- the reset

void TLoaderSession::ForgetController()
{
    // Whatever a handler running below this was told is void from here on.
    ++Epoch_;
    // A request abandoned here must not time out later, in the middle of the
    // next controller's handshake, and reset that one too.
    Link_.DisarmTimeOut();
    Awaiting_ = 0;
    ReleaseFiles();
    // The next controller answers the version request for itself; nothing of
    // this one's may be programmed into it.
    Geometry_ = TFlashGeometry{};
    CurrentVersion_ = 0;
    Phase_ = Erasing;
    EraseStep_ = 0;
    UploadNowReady_ = false;
    Listener.ShowCurrentVersion(QString());
    Listener.ShowLoaderVersion(QString());
    Listener.EnableUploadNow(false);
}

void TLoaderSession::bResetLoaderClick()
{
    if (ShutDown_)
        return;
    if (RecordOpen_)
        EndController(TOutcome::Interrupted, TFailure::None, QStringLiteral("Reset Loader"));
    ForgetController();
    CancelPause();
    if (ProgPort.IsOpen()) {
        try {
            ProgPort.PurgeReadWrite();
        } catch (const EVaCommError&) {
            // A line that cannot be purged (its adapter is gone) is closed next
            // all the same; what it held is dropped with it.
        }
    }
    SetStage(WaitingForTarget);
    Listener.SetProgress(0);
    StopLookingForPort();
    ProgPort.Close();
    ProgPort.SetBaudrate(br9600);
    PauseThen(Timing_.ResetPause, &TLoaderSession::ReopenAfterReset);
}

void TLoaderSession::ReopenAfterReset()
{
    // Opened meanwhile on another port, by the operator's choice.
    if (ProgPort.IsOpen())
        return;
    try {
        ProgPort.Open();
    } catch (const EVaCommDeviceMissing&) {
        // Most often an adapter pulled out during the run. The failure is still
        // reported, once; then the port is looked for until it is plugged in
        // again, so that the bench carries on without the operator.
        StartLookingForPort();
        throw;
    }
}

void TLoaderSession::StartLookingForPort()
{
    PortSearch_.start();
    // The nearest folder that exists on the way to the device: a by-id folder
    // goes with the last adapter and comes back with the first.
    QFileInfo where(QFile::decodeName(QByteArray::fromStdString(
        FormatDeviceName(ProgPort.DeviceName(), ProgPort.PortNum()))));
    QDir folder = where.absoluteDir();
    while (!folder.exists() && !folder.isRoot() && folder.cdUp()) {
    }
    if (!DeviceWatch_.directories().isEmpty())
        DeviceWatch_.removePaths(DeviceWatch_.directories());
    if (folder.exists())
        DeviceWatch_.addPath(folder.absolutePath());
}

void TLoaderSession::StopLookingForPort()
{
    PortSearch_.stop();
    if (!DeviceWatch_.directories().isEmpty())
        DeviceWatch_.removePaths(DeviceWatch_.directories());
}

void TLoaderSession::LookForPort()
{
    if (ShutDown_ || ProgPort.IsOpen()) {
        StopLookingForPort();
        return;
    }
    // The line may have gone during the parameter download.
    ProgPort.SetBaudrate(br9600);
    try {
        ProgPort.Open();
    } catch (const EVaCommError&) {
        // Not back yet, or back but not yet usable (its permissions may still
        // be on their way); looked for again at the next tick, silently, since
        // the operator has been told once already.
        return;
    }
    StopLookingForPort();
    // A controller on the line now is a new one.
    ForgetController();
    SetStage(WaitingForTarget);
    Listener.SetProgress(0);
}

// ---------------------------------------------------------------- pauses

void TLoaderSession::PauseThen(std::chrono::milliseconds period, TStep then)
{
    // Whatever the handler that asked for the pause was reading is over; the
    // stage's handler stays, and takes what arrives meanwhile by its own rules.
    ++Epoch_;
    Listener.Pausing(period);
    AfterPause_ = then;
    Pause_.start(std::max(period, std::chrono::milliseconds::zero()));
}

void TLoaderSession::CancelPause()
{
    Pause_.stop();
    AfterPause_ = nullptr;
}

// ---------------------------------------------------------------- failures

void TLoaderSession::SetAside()
{
    ++Epoch_;
    SetAside_ = true;
    UpdateRxThreshold();
    // Bytes that arrive now belong to nothing the session is doing. The port
    // is told of them as they come, so they are taken off it and dropped;
    // what the session does next installs the handler it needs.
    ProgPort.OnRxChar = [this](TVaCustomComm*, std::int32_t count) {
        std::vector<std::uint8_t> dropped(std::size_t(std::max(count, 0)));
        ProgPort.ReadBuf(dropped.data(), count);
    };
}

void TLoaderSession::MakeSafe()
{
    SetAside();
    // A box runs an event loop of its own: no time-out may fire behind it.
    Link_.DisarmTimeOut();
    CancelPause();
    AbandonImageRead();
}

void TLoaderSession::Fail(TFailure failure, const QString& text)
{
    if (ShutDown_)
        return;
    MakeSafe();
    // On record before the operator is told, so that the record is there
    // whatever becomes of the program while the box is open.
    if (RecordOpen_)
        EndController(TOutcome::Failed, failure, text);
    Listener.ShowError(text);
}

void TLoaderSession::FailAndReset(TFailure failure, const QString& text)
{
    Fail(failure, text);
    bResetLoaderClick();
}

void TLoaderSession::SendFailed(const EVaCommError& error)
{
    FailAndReset(TFailure::PortError, PortErrorText(error));
}

void TLoaderSession::PortFailed(std::exception_ptr error)
{
    if (ShutDown_)
        return;
    QString text;
    bool writing = false;
    try {
        std::rethrow_exception(error);
    } catch (const EVaCommWriteError& e) {
        // Bytes of a request were dropped on the way: what the controller has
        // seen is no longer what the conversation knows.
        writing = true;
        text = PortErrorText(e);
    } catch (const std::exception& e) {
        text = PortErrorText(e);
    } catch (...) {
        text = QStringLiteral("Unknown error");
    }
    if (writing) {
        FailAndReset(TFailure::PortError, text);
        return;
    }
    // The report may be a box with an event loop of its own: the request's
    // time-out is set aside meanwhile, and picked up where it was afterwards.
    const bool outstanding = Link_.TimeOutArmed();
    const auto left = Link_.TimeOutRemaining();
    const TStep pending = AfterPause_;
    const auto pauseLeft = std::chrono::milliseconds(Pause_.remainingTime());
    // The image's read is set aside too, so that no erase follows behind the
    // box; it is read again afterwards.
    const bool readingImage = ReadingImage();
    MakeSafe();
    Listener.ShowPortError(text);
    if (ShutDown_)
        return;
    bool alive = true;
    if (ProgPort.IsOpen()) {
        try {
            ProgPort.ReadBufUsed();
        } catch (const EVaCommError&) {
            alive = false;
        }
    }
    if (!alive && RecordOpen_) {
        // The adapter was pulled out, or its line failed, under a controller's
        // session: nothing outstanding will be answered on this line, so the
        // session ends now, for the port's own reason rather than as a
        // time-out. The conversation starts afresh as after a reset, but the
        // port, known to be gone, is looked for rather than reopened after the
        // reset's pause and reported gone a second time.
        EndController(TOutcome::Failed, TFailure::PortError, text);
        ForgetController();
        SetStage(WaitingForTarget);
        Listener.SetProgress(0);
        LineLost();
        return;
    }
    if (pending) {
        // A reset or a restart was on its way; it goes on.
        AfterPause_ = pending;
        Pause_.start(std::max(pauseLeft, std::chrono::milliseconds::zero()));
        return;
    }
    if (!ProgPort.IsOpen())
        return; // closed under the failure: the reset that closed it decided what follows
    if (!alive) {
        LineLost();
        return;
    }
    InstallHandler(Stage_);
    if (outstanding)
        Link_.ArmTimeOutFor(left);
    if (readingImage)
        ReadImageAside(Record_.ImagePath);
}

void TLoaderSession::LineLost()
{
    // What the operator sees stays as it was (the last controller's outcome,
    // or the fresh start after one the line took with it) until the line is
    // back; only Upload Now, which needs the line, goes.
    ++Epoch_;
    Awaiting_ = 0;
    UploadNowReady_ = false;
    Listener.EnableUploadNow(false);
    ProgPort.OnRxChar = nullptr;
    try {
        ProgPort.Close();
    } catch (const EVaCommError&) {
        // Nothing of a line that is gone needs keeping.
    }
    StartLookingForPort();
}

// ---------------------------------------------------------------- the record

void TLoaderSession::StartRecord()
{
    Record_ = TControllerRecord{};
    Record_.Started = std::chrono::system_clock::now();
    UnitWaited_ = std::chrono::milliseconds::zero();
    RecordOpen_ = true;
    Listener.ControllerStarted();
}

void TLoaderSession::EndController(TOutcome outcome, TFailure failure, const QString& message)
{
    if (!RecordOpen_)
        return;
    RecordOpen_ = false;
    Record_.Outcome = outcome;
    Record_.Failure = failure;
    Record_.Message = message;
    Record_.Ended = std::chrono::system_clock::now();
    if (!Record_.ImagePath.isEmpty()) {
        Record_.BlocksTotal = BlocksTotal_;
        Record_.BlocksExamined = BlocksExamined_;
        Record_.BlocksSent = BlocksSent_;
    }
    Listener.ControllerEnded(Record_);
}

void TLoaderSession::ReleaseImage()
{
    Image_.clear();
    Image_.shrink_to_fit();
    ImageLoaded_ = false;
}

void TLoaderSession::ReleaseFiles()
{
    AbandonImageRead();
    ReleaseImage();
    ParamFile_.reset();
    ParamsPending_ = false;
}
