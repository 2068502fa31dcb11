#include "loadersession.h"

#include <vacomm.h>

#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <stdexcept>
#include <system_error>

namespace {

constexpr std::uint8_t kVersionCommand = 'V';
constexpr std::uint8_t kEraseCommand = 'E';
constexpr std::uint8_t kProgramCommand = 'P';
constexpr std::uint8_t kRestartCommand = 'S';
constexpr std::string_view kBootRomAnswer = "APL";
constexpr std::string_view kParameterModeCommand = "ATCODE=1";

QString Latin1(const std::string& bytes)
{
    return QString::fromLatin1(bytes.data(), qsizetype(bytes.size()));
}

// What a port failure says, for the operator.
QString PortErrorText(const std::exception& error)
{
    return QString::fromLocal8Bit(error.what());
}

// A flash address as the messages show it: 0x4000.
QString AddressText(std::uint32_t address)
{
    return QStringLiteral("0x") + QString::number(address, 16).toUpper();
}

// The leading and trailing characters up to blank go, control characters too.
QString TrimControls(const QString& text)
{
    qsizetype first = 0;
    qsizetype last = text.size();
    while (first < last && text[first].unicode() <= 0x20)
        ++first;
    while (last > first && text[last - 1].unicode() <= 0x20)
        --last;
    return text.mid(first, last - first);
}

} // namespace

QString StageText(LoaderStage stage)
{
    static const std::array<const char*, 5> texts = {
        "Waiting for Target",
        "Waiting for Target ID",
        "Loading Target Loader",
        "Getting Version Information",
        "Setting Parameters",
    };
    return stage < texts.size() ? QString::fromLatin1(texts[stage]) : QString();
}

QString VersionText(std::uint16_t hundredths)
{
    return QString::asprintf("%d.%2.2d", hundredths / 100, hundredths % 100);
}

void SetUpProgrammerPort(TVaCustomComm& port)
{
    port.SetBaudrate(br9600);
    port.SetMonitorEvents({ceRxChar});
    port.SetFlowControl(fcNone);
    port.SetDTRControl(dtrDisable);
    port.SetRTSControl(rtsDisable);
}

TLoaderSession::TLoaderSession(TVaCustomComm& port, TLoaderView& view)
    : ProgPort(port), View(view), Link_(port)
{
    Link_.OnTimeOut = [this] { Guarded([this] { timeOutTimer(); }); };
    PortSearch_.setInterval(kPortSearchPeriod);
    QObject::connect(&PortSearch_, &QTimer::timeout, &PortSearch_,
                     [this] { Guarded([this] { LookForPort(); }); });
    ProgPort.SetExceptionReport([this](std::exception_ptr error) { PortFailed(error); });
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

TLoaderSession::~TLoaderSession()
{
    Shutdown();
}

void TLoaderSession::Shutdown()
{
    ShutDown_ = true;
    ++Epoch_;
    PortSearch_.stop();
    Link_.DisarmTimeOut();
    Link_.OnTimeOut = nullptr;
    ProgPort.OnRxChar = nullptr;
    ProgPort.SetExceptionReport(nullptr);
    ReleaseFiles();
}

// ---------------------------------------------------------------- stages

void TLoaderSession::SetStage(LoaderStage stage)
{
    if (ShutDown_)
        return;
    Stage_ = stage;
    switch (stage) {
    case WaitingForTarget:
        LastByte_ = 0;
        break;
    case WaitingForTargetId:
        TargetId_.clear();
        TargetIdTooLong_ = false;
        break;
    case LoadingTargetLoader:
    case GettingVersion:
    case SettingParameters:
        break;
    default:
        return; // only stored
    }
    InstallHandler(stage);
    View.ShowState(StageText(stage));
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
        (this->*handler)(sender, count);
    };
}

void TLoaderSession::BeginNotification()
{
    NotificationEpoch_ = Epoch_;
    NotificationOpenCount_ = ProgPort.OpenCount();
}

bool TLoaderSession::ReadByte(std::uint8_t& b)
{
    // Bytes announced before the port was reopened went with the old line; what
    // the new one holds is the next controller's, and belongs to the handler of
    // the stage the reset entered. Likewise once the session has failed: the
    // rest of what the failing reply came with is not acted on.
    if (ShutDown_ || Epoch_ != NotificationEpoch_ || ProgPort.OpenCount() != NotificationOpenCount_)
        return false;
    return ProgPort.ReadChar(b);
}

void TLoaderSession::OnRxWaitTarget(TVaCustomComm*, std::int32_t Count)
{
    for (std::int32_t i = 0; i < Count; ++i) {
        std::uint8_t b = 0;
        if (!ReadByte(b))
            return;
        if (LastByte_ == kAck && b == kNak) {
            SetStage(WaitingForTargetId);
            // The controller has announced itself: from here on every wait for
            // it ends, the identification's included.
            Link_.ArmTimeOut();
            try {
                Link_.SendBytes({reinterpret_cast<const std::uint8_t*>(kBootRomAnswer.data()),
                                 kBootRomAnswer.size()});
            } catch (const EVaCommError& e) {
                SendFailed(e);
                return;
            }
        }
        LastByte_ = b;
    }
}

void TLoaderSession::OnRxWaitTargetId(TVaCustomComm*, std::int32_t Count)
{
    for (std::int32_t i = 0; i < Count; ++i) {
        std::uint8_t b = 0;
        if (!ReadByte(b))
            return;
        if (b != kAck) {
            if (TargetId_.size() < kTargetIdLimit)
                TargetId_.push_back(char(b));
            else
                TargetIdTooLong_ = true;
            continue;
        }
        // The identification's wait ends here; the loader's 8000 ms start now.
        Link_.DisarmTimeOut();
        SetStage(LoadingTargetLoader);
        LoaderFile_ = TargetIdTooLong_ ? QString() : View.LoaderFor(TargetId_);
        if (LoaderFile_.isEmpty()) {
            Fail(QStringLiteral("No Loader Defined"));
            SetStage(WaitingForTarget);
        } else {
            UploadTargetLoader();
        }
    }
}

void TLoaderSession::UploadTargetLoader()
{
    const QString path = View.ProgramFolder() + LoaderFile_;
    std::vector<std::uint8_t> loader;
    bool more = false;
    int error = 0;
    if (!ReadFileBytes(path, kLoaderSizeLimit, loader, more, error)) {
        Fail(LoaderFile_ + QStringLiteral(" Not Found"));
        SetStage(WaitingForTarget);
        return;
    }
    if (more) {
        // Its length would reach the boot ROM cut to 16 bits, and the controller
        // would run whatever the truncated count left it with.
        Fail(QStringLiteral("Target Loader %1 Is Too Large (more than %2 bytes)")
                 .arg(LoaderFile_)
                 .arg(kLoaderSizeLimit));
        SetStage(WaitingForTarget);
        return;
    }

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

bool TLoaderSession::NextReply(std::int32_t& Left)
{
    while (Left > 0) {
        --Left;
        std::uint8_t b = 0;
        if (!ReadByte(b)) {
            Left = 0;
            return false;
        }
        if (Link_.ParseReplyByte(b))
            return true;
    }
    return false;
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

void TLoaderSession::OnRxLoaderReply(TVaCustomComm*, std::int32_t Count)
{
    for (std::int32_t left = Count; NextReply(left);) {
        Link_.DisarmTimeOut();
        View.ShowLoaderVersion(Latin1(Link_.RxDataText()));
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

void TLoaderSession::OnRxCommandReply(TVaCustomComm*, std::int32_t Count)
{
    for (std::int32_t left = Count; NextReply(left);) {
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
            // The controller is restarting; its parameter mode needs this long.
            View.Pause(kRestartPause);
            ContinueUpload(true);
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
    View.ShowCurrentVersion(VersionText(CurrentVersion_));
    Geometry_.FlashEnd = std::uint32_t(Link_.RxData(3)) | std::uint32_t(Link_.RxData(4)) << 8 |
                         std::uint32_t(Link_.RxData(5)) << 16 | std::uint32_t(Link_.RxData(6)) << 24;
    Geometry_.BlockSize = std::uint16_t(Link_.RxData(8) | Link_.RxData(9) << 8);
    if (View.AutoProgram()) {
        StartUpload();
    } else {
        View.ShowState(QStringLiteral("Press Upload Now to Start"));
        UploadNowReady_ = true;
        View.EnableUploadNow(true);
    }
}

void TLoaderSession::timeOutTimer()
{
    FailAndReset(Stage_ == SettingParameters
                     ? QStringLiteral("Target Did Not Respond While Loading Parameters")
                     : QStringLiteral("Target Did Not Respond To Loader"));
}

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
    View.ShowCurrentVersion(QString());
    View.ShowLoaderVersion(QString());
    View.EnableUploadNow(false);
}

void TLoaderSession::bResetLoaderClick()
{
    if (ShutDown_)
        return;
    ForgetController();
    if (ProgPort.IsOpen()) {
        try {
            ProgPort.PurgeReadWrite();
        } catch (const EVaCommError&) {
            // A line that cannot be purged (its adapter is gone) is closed next
            // all the same; what it held is dropped with it.
        }
    }
    SetStage(WaitingForTarget);
    View.SetProgress(0);
    PortSearch_.stop();
    ProgPort.Close();
    View.Pause(kResetPause);
    if (ShutDown_)
        return;
    ProgPort.SetBaudrate(br9600);
    try {
        ProgPort.Open();
    } catch (const EVaCommDeviceMissing&) {
        // Most often an adapter pulled out during the run. The failure is still
        // reported, once; then the port is looked for until it is plugged in
        // again, so that the bench carries on without the operator.
        PortSearch_.start();
        throw;
    }
}

void TLoaderSession::LookForPort()
{
    if (ShutDown_ || ProgPort.IsOpen()) {
        PortSearch_.stop();
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
    PortSearch_.stop();
    // A controller on the line now is a new one.
    ForgetController();
    SetStage(WaitingForTarget);
    View.SetProgress(0);
}

void TLoaderSession::PortFailed(std::exception_ptr error)
{
    if (ShutDown_)
        return;
    QString text;
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        text = PortErrorText(e);
    } catch (...) {
        text = QStringLiteral("Unknown error");
    }
    // The report may be a box with an event loop of its own: the request's
    // time-out is set aside meanwhile, and picked up where it was afterwards.
    const bool outstanding = Link_.TimeOutArmed();
    const auto left = Link_.TimeOutRemaining();
    MakeSafe();
    View.ShowPortError(text);
    if (ShutDown_ || !ProgPort.IsOpen())
        return; // closed under the failure: the reset that closed it decided what follows
    bool alive = true;
    try {
        ProgPort.ReadBufUsed();
    } catch (const EVaCommError&) {
        alive = false;
    }
    if (!alive && !outstanding) {
        LineLost();
        return;
    }
    InstallHandler(Stage_);
    if (outstanding)
        Link_.ArmTimeOutFor(left);
}

void TLoaderSession::LineLost()
{
    // What the operator sees stays as it was (the last controller's outcome)
    // until the line is back; only Upload Now, which needs the line, goes.
    ++Epoch_;
    Awaiting_ = 0;
    UploadNowReady_ = false;
    View.EnableUploadNow(false);
    ProgPort.OnRxChar = nullptr;
    try {
        ProgPort.Close();
    } catch (const EVaCommError&) {
        // Nothing of a line that is gone needs keeping.
    }
    PortSearch_.start();
}

void TLoaderSession::MakeSafe()
{
    ++Epoch_;
    Link_.DisarmTimeOut();
    // A box runs an event loop of its own, in which the port keeps announcing
    // bytes. None of them may drive the conversation behind the operator's back;
    // what the session does after the box installs the handler it needs.
    ProgPort.OnRxChar = [this](TVaCustomComm*, std::int32_t count) {
        std::uint8_t b = 0;
        for (std::int32_t i = 0; i < count && ProgPort.ReadChar(b); ++i) {
        }
    };
}

void TLoaderSession::Fail(const QString& text)
{
    if (ShutDown_)
        return;
    MakeSafe();
    View.ShowError(text);
}

void TLoaderSession::FailAndReset(const QString& text)
{
    Fail(text);
    bResetLoaderClick();
}

void TLoaderSession::SendFailed(const EVaCommError& error)
{
    FailAndReset(PortErrorText(error));
}

void TLoaderSession::ReleaseImage()
{
    Image_.clear();
    Image_.shrink_to_fit();
    ImageLoaded_ = false;
}

void TLoaderSession::ReleaseFiles()
{
    ReleaseImage();
    ParamStream_.reset();
}

// ---------------------------------------------------------------- programming

void TLoaderSession::bGoClick()
{
    View.EnableUploadNow(false);
    // Pressed before the version reply (or again after the upload began), it
    // would erase a flash whose geometry it does not know.
    if (!UploadNowReady_)
        return;
    StartUpload();
}

QString TLoaderSession::ImagePath() const
{
    return TrimControls(TrimControls(View.ImageFolder() + View.ImageName()) + View.ImageExtension());
}

void TLoaderSession::StartUpload()
{
    UploadNowReady_ = false;
    const QString path = ImagePath();
    ReleaseFiles();
    // Everything that would make the erase the only thing written is refused
    // before the erase: a controller must never end up blank under a message
    // that says it was programmed.
    if (Geometry_.FlashEnd <= Geometry_.FlashStart) {
        FailAndReset(QStringLiteral("Target Reported An Unusable Flash Range (%1 to %2)")
                         .arg(AddressText(Geometry_.FlashStart), AddressText(Geometry_.FlashEnd)));
        return;
    }
    if (Geometry_.BlockSize == 0) {
        FailAndReset(QStringLiteral("Target Reported An Unusable Flash Block Size (0)"));
        return;
    }
    BlocksTotal_ = BlockCount(Geometry_);
    TImageRead image = ReadImage(path, CoveredLength(Geometry_));
    const QString file = QStringLiteral("Target Binary File ") + path;
    switch (image.Status) {
    case TImageRead::Read:
        break;
    case TImageRead::Unreadable:
        FailAndReset(file + QStringLiteral(" Not Found"));
        return;
    case TImageRead::NotAFile:
        FailAndReset(file + QStringLiteral(" Is Not A File"));
        return;
    case TImageRead::Empty:
        FailAndReset(file + QStringLiteral(" Is Empty"));
        return;
    case TImageRead::DoesNotFit:
        FailAndReset(file + QStringLiteral(" Does Not Fit The Flash (%1 to %2)")
                                .arg(AddressText(Geometry_.FlashStart), AddressText(Geometry_.FlashEnd)));
        return;
    }
    Image_ = std::move(image.Bytes);
    ImageLoaded_ = true;

    Gauge_ = GaugeFor(BlocksTotal_);
    View.SetProgressRange(Gauge_.MaxValue);
    View.SetProgress(0);
    BlocksExamined_ = 0;
    BlocksSent_ = 0;
    Phase_ = Erasing;
    EraseStep_ = 0;
    Address_ = 0;
    ContinueUpload(true);
}

void TLoaderSession::ContinueUpload(bool Ok)
{
    if (Phase_ == LoadingParameters) {
        if (!Ok) {
            FailAndReset(QStringLiteral("NAK rcvd while Loading Parameters"));
            return;
        }
        if (Stage_ != SettingParameters) {
            StartParameters();
            return;
        }
        if (!ParamStream_)
            return;
        QString failure;
        try {
            if (!SendNextParameter())
                return;
        } catch (const EParameterError& e) {
            failure = QString::fromStdString(e.what());
        } catch (const EVaCommError& e) {
            failure = PortErrorText(e);
        }
        ParamStream_.reset();
        Link_.DisarmTimeOut();
        if (failure.isEmpty()) {
            View.ShowState(QStringLiteral("Parameter Load Complete"));
        } else {
            // Half the parameters are on the controller: say so, and send no more.
            View.ShowState(QStringLiteral("Parameter Load Failed"));
            Fail(failure);
            InstallHandler(Stage_);
        }
        return;
    }

    // A reply that no upload under way is waiting for: the controller sent it
    // unasked, after the image was done with or before one was opened.
    if (!ImageLoaded_)
        return;
    if (!Ok) {
        FailAndReset(Phase_ == Erasing ? QStringLiteral("NAK rcvd while erasing Flash Blocks")
                                       : QStringLiteral("NAK rcvd while Updating Flash"));
        return;
    }
    try {
        if (Phase_ == Erasing) {
            EraseStep_ = EraseStep_ == 0 ? 1 : 3;
            if (EraseStep_ == 1) {
                SendErase();
                return;
            }
            Address_ = Geometry_.FlashStart;
            Phase_ = Programming;
            View.ShowState(QStringLiteral("Programming Flash"));
        }
        // Blank blocks need no reply: step over a run of them here rather than by
        // calling back in, however long the run.
        for (;;) {
            bool skipped = false;
            if (NextBlock(skipped)) {
                FinishProgramming();
                return;
            }
            if (!skipped)
                return;
        }
    } catch (const EVaCommError& e) {
        SendFailed(e);
    }
}

void TLoaderSession::SendErase()
{
    const std::uint8_t data[] = {std::uint8_t(EraseStep_)};
    Awaiting_ = kEraseCommand;
    Link_.SendRequest(kEraseCommand, Geometry_.FlashStart, data);
}

bool TLoaderSession::NextBlock(bool& Skipped)
{
    Skipped = false;
    if (Address_ >= Geometry_.FlashEnd) {
        View.SetProgress(Gauge_.MaxValue);
        return true;
    }
    if (Address_ - Geometry_.FlashStart >= Image_.size()) {
        // Everything from here to the end of the range lies past the image and is
        // blank: the rest of the walk is stepped over at once, so that a range far
        // larger than a small image costs nothing.
        BlocksExamined_ = BlocksTotal_;
        Address_ = Geometry_.FlashEnd;
        Skipped = true;
        View.SetProgress(Gauge_.MaxValue);
        return true;
    }
    ++BlocksExamined_;
    View.SetProgress(GaugeProgress(Gauge_, BlocksExamined_));
    Skipped = SendBlock();
    return false;
}

bool TLoaderSession::SendBlock()
{
    const std::uint64_t offset = Address_ - Geometry_.FlashStart;
    const bool blank = IsBlankBlock(Image_, offset, Geometry_.BlockSize);
    if (!blank) {
        Awaiting_ = kProgramCommand;
        Link_.SendRequest(kProgramCommand, std::uint32_t(Address_),
                          BlockBytes(Image_, offset, Geometry_.BlockSize));
        ++BlocksSent_;
    }
    Address_ = NextBlockAddress(Address_, Geometry_.BlockSize);
    return blank;
}

void TLoaderSession::FinishProgramming()
{
    ReleaseImage();
    View.ShowState(QStringLiteral("Flash Update Complete"));
    if (!View.ParameterName().isEmpty()) {
        bResetClick();
        Phase_ = LoadingParameters;
    }
}

void TLoaderSession::bResetClick()
{
    Awaiting_ = kRestartCommand;
    Link_.SendRequest(kRestartCommand, 0);
}

// ---------------------------------------------------------------- parameters

QString TLoaderSession::ParameterPath() const
{
    return View.ParameterFolder() + View.ParameterName() + View.ParameterExtension();
}

bool TLoaderSession::OpenParameterFile()
{
    auto file = std::make_unique<TParameterFile>(ParameterPath());
    if (!file->IsOpen())
        return false;
    View.SetProgressRange(std::int32_t(std::min<std::uint64_t>(file->Size(), INT_MAX)));
    ParamStream_ = std::move(file);
    Splitter_ = TParameterLineSplitter();
    return true;
}

void TLoaderSession::StartParameters()
{
    if (!OpenParameterFile()) {
        Fail(QStringLiteral("Parameter File Not Found"));
        InstallHandler(Stage_);
        return;
    }
    SetStage(SettingParameters);
    View.SetProgress(0);
    ProgPort.Close();
    View.Pause(kParameterPortPause);
    if (ShutDown_)
        return;
    try {
        ProgPort.SetBaudrate(br19200);
        ProgPort.Open();
    } catch (const EVaCommError& e) {
        FailAndReset(PortErrorText(e));
        return;
    }
    try {
        // Each line is answered by a line feed; one that never comes ends the
        // download as an unanswered request ends the programming.
        Link_.ArmTimeOut();
        Link_.SendTextLine(kParameterModeCommand);
    } catch (const EVaCommError& e) {
        SendFailed(e);
    }
}

bool TLoaderSession::SendNextParameter()
{
    for (;;) {
        const int c = ParamStream_->ReadByte();
        if (c < 0) {
            if (const auto line = Splitter_.Finish())
                SendParameterLine(*line);
            return true;
        }
        View.AdvanceProgress(1);
        if (const auto line = Splitter_.Feed(std::uint8_t(c))) {
            Link_.ArmTimeOut();
            SendParameterLine(*line);
            return false;
        }
    }
}

void TLoaderSession::SendParameterLine(const std::string& Line)
{
    Link_.SendTextLine(ParameterCommand(Line));
}

void TLoaderSession::OnRxParameterReply(TVaCustomComm*, std::int32_t Count)
{
    for (std::int32_t i = 0; i < Count; ++i) {
        std::uint8_t b = 0;
        if (!ReadByte(b))
            return;
        if (b == kLineFeed) {
            Link_.DisarmTimeOut();
            ContinueUpload(true);
        }
    }
}
