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

QString SystemText(int error)
{
    return QString::fromStdString(std::system_category().message(error));
}

// What a port failure says, for the operator.
QString PortErrorText(const std::exception& error)
{
    return QString::fromLocal8Bit(error.what());
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

// A file opened for reading. O_NONBLOCK keeps a fifo or a device named by mistake
// from hanging the window in open() or read(); a regular file never blocks anyway.
class TReadFile {
public:
    explicit TReadFile(const QString& path)
        : fd_(::open(QFile::encodeName(path).constData(),
                     O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK)),
          error_(fd_ < 0 ? errno : 0)
    {
    }
    ~TReadFile()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    TReadFile(const TReadFile&) = delete;
    TReadFile& operator=(const TReadFile&) = delete;

    bool IsOpen() const { return fd_ >= 0; }
    int Error() const { return error_; }

    // The file's size; 0 for what has none (a fifo, say).
    std::uint64_t Size() const
    {
        struct stat st {};
        if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode))
            return 0;
        return std::uint64_t(st.st_size);
    }

    // Up to `count` bytes; fewer only at the end of the file. -1 with errno on error.
    ssize_t Read(std::uint8_t* buffer, std::size_t count)
    {
        std::size_t done = 0;
        while (done < count) {
            const ssize_t n = ::read(fd_, buffer + done, count - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                error_ = errno;
                return -1;
            }
            if (n == 0)
                break;
            done += std::size_t(n);
        }
        return ssize_t(done);
    }

private:
    int fd_;
    int error_;
};

// Reads at most `limit` bytes of a file; false (with the reason in `error`) when it
// cannot be opened or read. `more` tells whether the file holds more than that.
bool ReadFileBytes(const QString& path, std::uint64_t limit, std::vector<std::uint8_t>& bytes,
                   bool& more, int& error)
{
    TReadFile file(path);
    if (!file.IsOpen()) {
        error = file.Error();
        return false;
    }
    bytes.clear();
    more = false;
    // Grown as it is filled: the size on disk may change, or be unknown.
    const std::uint64_t expected = std::min(file.Size(), limit);
    bytes.reserve(std::size_t(expected));
    std::array<std::uint8_t, 64 * 1024> chunk{};
    while (bytes.size() < limit) {
        const std::size_t want = std::size_t(std::min<std::uint64_t>(chunk.size(), limit - bytes.size()));
        const ssize_t n = file.Read(chunk.data(), want);
        if (n < 0) {
            error = file.Error();
            return false;
        }
        bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + n);
        if (std::size_t(n) < want)
            return true;
    }
    std::uint8_t probe = 0;
    const ssize_t n = file.Read(&probe, 1);
    if (n < 0) {
        error = file.Error();
        return false;
    }
    more = n > 0;
    return true;
}

class EParameterError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

} // namespace

// The parameter file, read a buffer at a time and handed out a byte at a time.
class TLoaderSession::TParameterFile {
public:
    explicit TParameterFile(const QString& path) : path_(path), file_(path) {}

    bool IsOpen() const { return file_.IsOpen(); }
    std::uint64_t Size() const { return file_.Size(); }

    // The next byte, or -1 at the end of the file. Throws when it cannot be read.
    int ReadByte()
    {
        if (next_ == end_) {
            const ssize_t n = file_.Read(buffer_.data(), buffer_.size());
            if (n < 0) {
                throw EParameterError(
                    ("Unable to read Parameter File " + path_ + ": " + SystemText(file_.Error()))
                        .toStdString());
            }
            next_ = 0;
            end_ = std::size_t(n);
            if (end_ == 0)
                return -1;
        }
        return buffer_[next_++];
    }

private:
    QString path_;
    TReadFile file_;
    std::array<std::uint8_t, 4096> buffer_{};
    std::size_t next_ = 0;
    std::size_t end_ = 0;
};

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
    Link_.OnTimeOut = [this] { timeOutTimer(); };
    PortSearch_.setInterval(kPortSearchPeriod);
    QObject::connect(&PortSearch_, &QTimer::timeout, &PortSearch_, [this] { LookForPort(); });
}

TLoaderSession::~TLoaderSession()
{
    Shutdown();
}

void TLoaderSession::Shutdown()
{
    ShutDown_ = true;
    PortSearch_.stop();
    Link_.DisarmTimeOut();
    Link_.OnTimeOut = nullptr;
    ProgPort.OnRxChar = nullptr;
    ReleaseFiles();
}

// ---------------------------------------------------------------- stages

void TLoaderSession::SetStage(LoaderStage stage)
{
    Stage_ = stage;
    switch (stage) {
    case WaitingForTarget:
        LastByte_ = 0;
        break;
    case WaitingForTargetId:
        TargetId_.clear();
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
    const THandler handler = handlers[stage];
    ProgPort.OnRxChar = [this, handler](TVaCustomComm* sender, std::int32_t count) {
        (this->*handler)(sender, count);
    };
}

bool TLoaderSession::ReadByte(std::uint8_t& b)
{
    // Handling a byte may have purged or reopened the port (the reset, the switch
    // to the parameter speed); the bytes announced before that are gone, and
    // handling the previous byte again in their place would invent traffic.
    return !ShutDown_ && ProgPort.ReadChar(b);
}

void TLoaderSession::OnRxWaitTarget(TVaCustomComm*, std::int32_t Count)
{
    for (std::int32_t i = 0; i < Count; ++i) {
        std::uint8_t b = 0;
        if (!ReadByte(b))
            return;
        if (LastByte_ == kAck && b == kNak) {
            SetStage(WaitingForTargetId);
            for (char c : kBootRomAnswer)
                ProgPort.WriteChar(std::uint8_t(c));
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
            TargetId_.push_back(char(b));
            continue;
        }
        SetStage(LoadingTargetLoader);
        LoaderFile_ = View.LoaderFor(TargetId_);
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
        Fail(PortErrorText(e));
        SetStage(WaitingForTarget);
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
    Link_.SendRequest(kVersionCommand, 0);
}

void TLoaderSession::OnRxCommandReply(TVaCustomComm*, std::int32_t Count)
{
    for (std::int32_t left = Count; NextReply(left);) {
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
        View.EnableUploadNow(true);
    }
}

void TLoaderSession::timeOutTimer()
{
    Fail(QStringLiteral("Target Did Not Respond To Loader"));
    bResetLoaderClick();
}

void TLoaderSession::bResetLoaderClick()
{
    if (ShutDown_)
        return;
    // A request abandoned here must not time out later, in the middle of the
    // next controller's handshake, and reset that one too.
    Link_.DisarmTimeOut();
    ReleaseFiles();
    View.ShowCurrentVersion(QString());
    View.ShowLoaderVersion(QString());
    View.EnableUploadNow(false);
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
    try {
        ProgPort.Open();
    } catch (const EVaCommError&) {
        // Not back yet, or back but not yet usable (its permissions may still
        // be on their way); looked for again at the next tick, silently, since
        // the operator has been told once already.
        return;
    }
    PortSearch_.stop();
    SetStage(WaitingForTarget);
}

void TLoaderSession::Fail(const QString& text)
{
    // No time-out may fire behind the modal box.
    Link_.DisarmTimeOut();
    View.ShowError(text);
}

void TLoaderSession::FailAndReset(const QString& text)
{
    Fail(text);
    bResetLoaderClick();
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
    StartUpload();
}

QString TLoaderSession::ImagePath() const
{
    return TrimControls(TrimControls(View.ImageFolder() + View.ImageName()) + View.ImageExtension());
}

void TLoaderSession::StartUpload()
{
    const QString path = ImagePath();
    ReleaseFiles();
    const bool hasBlocks = Geometry_.FlashEnd > Geometry_.FlashStart;
    if (hasBlocks && Geometry_.BlockSize == 0) {
        FailAndReset(QStringLiteral("Target Reported An Unusable Flash Block Size (0)"));
        return;
    }
    BlocksTotal_ = hasBlocks ? BlockCount(Geometry_) : 0;
    const std::uint64_t covered = hasBlocks ? CoveredLength(Geometry_) : 0;

    bool more = false;
    int error = 0;
    if (!ReadFileBytes(path, covered, Image_, more, error)) {
        FailAndReset(QStringLiteral("Target Binary File ") + path + QStringLiteral(" Not Found"));
        return;
    }
    ImageLoaded_ = true;

    Gauge_ = GaugeFor(BlocksTotal_);
    View.SetProgressRange(Gauge_.MaxValue);
    View.SetProgress(0);
    BlocksExamined_ = 0;
    BlocksSent_ = 0;
    Phase_ = Erasing;
    EraseStep_ = 0;
    Address_ = 0;
    try {
        ContinueUpload(true);
    } catch (const EVaCommError& e) {
        FailAndReset(PortErrorText(e));
    }
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
        if (failure.isEmpty()) {
            View.ShowState(QStringLiteral("Parameter Load Complete"));
        } else {
            // Half the parameters are on the controller: say so, and send no more.
            View.ShowState(QStringLiteral("Parameter Load Failed"));
            Fail(failure);
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
}

void TLoaderSession::SendErase()
{
    const std::uint8_t data[] = {std::uint8_t(EraseStep_)};
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
        return;
    }
    SetStage(SettingParameters);
    View.SetProgress(0);
    ProgPort.Close();
    View.Pause(kParameterPortPause);
    ProgPort.SetBaudrate(br19200);
    ProgPort.Open();
    Link_.SendTextLine(kParameterModeCommand);
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
        if (b == kLineFeed)
            ContinueUpload(true);
    }
}
