#include "portsession.h"

#include "programmerport.h"

#include <QFile>

#include <algorithm>
#include <utility>

namespace {

QString FromSettings(const std::string& text)
{
    return QFile::decodeName(QByteArray(text.data(), qsizetype(text.size())));
}

// How often the output is looked at while it drains, and the longest it is
// waited for beyond its own time on the line.
constexpr std::chrono::milliseconds kDrainLook{10};
constexpr std::chrono::milliseconds kDrainSlack{2000};

} // namespace

TPortSession::TPortSession(TFlashPort port, const TFlashSettings& settings, int count,
                           std::optional<double> waitSeconds, TFlashReport& report, TSessionJournal* journal)
    : port_(std::move(port)), settings_(settings), count_(count), waitSeconds_(waitSeconds), report_(report),
      journal_(journal), ownImageHeard_(settings.ImageSha256)
{
    SetUpProgrammerPort(line_);
    line_.SetPortNum(port_.ComNumber);
    // The component formats its device name with the port number; a path is
    // made into a pattern that formats to itself.
    std::string pattern;
    for (const char c : port_.Device) {
        pattern.push_back(c);
        if (c == '%')
            pattern.push_back('%');
    }
    line_.SetDeviceName(pattern);
    session_ = std::make_unique<TLoaderSession>(line_, static_cast<TSessionHost&>(*this),
                                                static_cast<TSessionListener&>(*this));
    waitLimit_.setSingleShot(true);
    // The default coarse timer may end the wait up to 5% early.
    waitLimit_.setTimerType(Qt::PreciseTimer);
    connect(&waitLimit_, &QTimer::timeout, this, [this] {
        waitExpired_ = true;
        report_.WaitExpired(port_, *waitSeconds_);
        Finish();
    });
    drain_.setInterval(kDrainLook);
    connect(&drain_, &QTimer::timeout, this, [this] {
        TVaComStat status;
        bool drained = true;
        try {
            line_.GetStatistics(status);
            drained = line_.SendPending() == 0 && status.cbOutQue == 0;
        } catch (const EVaCommError&) {
            // A line that is gone holds nothing more to wait for.
        }
        if (!drained && std::chrono::steady_clock::now() < drainUntil_)
            return;
        drain_.stop();
        if (auto then = std::exchange(afterDrain_, nullptr))
            then();
    });
}

TPortSession::~TPortSession()
{
    session_->Shutdown();
    session_.reset();
}

void TPortSession::Start()
{
    line_.Open();
    session_->SetStage(WaitingForTarget);
    StartWaiting();
}

void TPortSession::StartWaiting()
{
    report_.Waiting(port_);
    if (waitSeconds_)
        waitLimit_.start(std::chrono::milliseconds(std::int64_t(*waitSeconds_ * 1000.0)));
}

void TPortSession::Stop(const QString& why)
{
    if (finished_)
        return;
    stopping_ = true;
    drain_.stop();
    afterDrain_ = nullptr;
    session_->Shutdown(why);
    Finish();
}

void TPortSession::Finish()
{
    if (finished_)
        return;
    finished_ = true;
    waitLimit_.stop();
    session_->Shutdown(QStringLiteral("The round ended"));
    try {
        line_.Close();
    } catch (const EVaCommError&) {
        // Closing lets the device go whatever its queues say.
    }
    if (OnFinished)
        OnFinished();
}

TFlashPortSummary TPortSession::Summary() const
{
    return {port_.Name, programmed_, failed_, waitExpired_};
}

QString TPortSession::ImageFolder() const { return settings_.ImageFolder; }

TImageExpectation TPortSession::ExpectedImage() const
{
    return {settings_.ImagePinned ? settings_.ImageSha256 : *imageHeard_, settings_.ImagePinned};
}

void TPortSession::ImageChanged(const QString& before, const QString& now)
{
    *imageHeard_ = now;
    report_.ImageChanged(port_, before, now);
}
QString TPortSession::ImageName() const { return settings_.ImageName; }
QString TPortSession::ImageExtension() const { return settings_.ImageExtension; }
QString TPortSession::ParameterFolder() const { return settings_.ParameterFolder; }
QString TPortSession::ParameterName() const { return settings_.ParameterName; }
QString TPortSession::ParameterExtension() const { return settings_.ParameterExtension; }

QString TPortSession::LoaderFor(const std::string& targetId) const
{
    return FromSettings(settings_.Ini->ReadString("Loader", targetId, ""));
}

QString TPortSession::ProgramFolder() const
{
    return settings_.Folder;
}

void TPortSession::StatusChanged(TSessionStatus status, const QString& text)
{
    if (status == TSessionStatus::ProgrammingFlash)
        programmingStarted_ = std::chrono::steady_clock::now();
    report_.Status(port_, status, text);
}

void TPortSession::BlocksDone(std::uint64_t examined, std::uint64_t total, std::uint64_t sent)
{
    TFlashProgress progress{examined, total, sent};
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - programmingStarted_).count();
    if (seconds > 0 && examined > 0) {
        progress.BytesPerSecond = double(examined) * session_->Geometry().BlockSize / seconds;
        progress.SecondsLeft = seconds / double(examined) * double(total - std::min(examined, total));
    }
    report_.Progress(port_, progress);
}

void TPortSession::ShowError(const QString& text)
{
    report_.Error(port_, text);
}

void TPortSession::ShowPortError(const QString& text)
{
    report_.Error(port_, text);
}

void TPortSession::ControllerStarted()
{
    waitLimit_.stop();
}

TJournalContext TPortSession::JournalContext() const
{
    return {kFrontEndCommandLine, port_.ComNumber, port_.Device, {}, settings_.NewVersion};
}

void TPortSession::ControllerIdentified(const TControllerRecord& record)
{
    if (journal_)
        journalId_ = journal_->Begin(record, JournalContext());
}

void TPortSession::ControllerEnded(const TControllerRecord& record)
{
    ++controllers_;
    if (record.Outcome == TOutcome::Programmed || record.Outcome == TOutcome::ProgrammedWithParameters)
        ++programmed_;
    else
        ++failed_;
    TFlashController controller{controllers_, settings_.NewVersion, record, std::nullopt};
    if (journal_) {
        // Reported once the record is durable (or, at the end, known lost);
        // the port goes on meanwhile.
        journal_->Complete(std::exchange(journalId_, {}), record, JournalContext(),
                           [this, controller](bool recorded) mutable {
                               controller.Recorded = recorded;
                               report_.Controller(port_, controller);
                           });
    } else {
        report_.Controller(port_, controller);
    }
    if (stopping_)
        return;
    // Outside the session's own call: it may be about to show the failure and
    // reset the line itself.
    QTimer::singleShot(0, this, [this] { ControllerDone(); });
}

void TPortSession::ControllerDone()
{
    if (finished_)
        return;
    if (count_ != 0 && controllers_ >= count_) {
        AfterOutputDrains([this] { Finish(); });
        return;
    }
    // A failure has reset the line already, or left it waiting for a
    // handshake; or the line has gone, and the session looks for it.
    const auto resetNeeded = [this] {
        return session_->Stage() != WaitingForTarget && !session_->LookingForPort();
    };
    if (!resetNeeded()) {
        StartWaiting();
        return;
    }
    AfterOutputDrains([this, resetNeeded] {
        if (resetNeeded())
            session_->bResetLoaderClick();
        StartWaiting();
    });
}

void TPortSession::AfterOutputDrains(std::function<void()> then)
{
    // The bytes still on their way, at the slowest speed the line runs, and a
    // margin for the adapter; a line that takes longer is not waited for.
    std::int64_t pending = line_.SendPending();
    drainUntil_ = std::chrono::steady_clock::now() + kDrainSlack + std::chrono::milliseconds(pending * 10 * 1000 / 9600);
    afterDrain_ = std::move(then);
    drain_.start();
}
