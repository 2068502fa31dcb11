#include "portsession.h"

#include "programmerport.h"

#include <QFile>
#include <QPointer>

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
// The longest single run of the --wait timer; a day is far inside its range.
constexpr std::chrono::milliseconds kLongestTimer = std::chrono::hours(24);

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
        if (ArmWaitLimit())
            return;
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
    if (!waitSeconds_)
        return;
    waitUntil_ = std::chrono::steady_clock::now() +
                 std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                     std::chrono::duration<double>(*waitSeconds_));
    ArmWaitLimit();
}

bool TPortSession::ArmWaitLimit()
{
    // A QTimer holds an int of milliseconds: a longer wait is a chain of
    // shorter ones towards the deadline.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(waitUntil_ - std::chrono::steady_clock::now());
    if (left <= std::chrono::milliseconds::zero())
        return false;
    waitLimit_.start(std::min(left, kLongestTimer));
    return true;
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
    // The session enters the loader's stage again for the upload itself, and
    // answers a repeated announcement with its stage again: one stage is one
    // event for whoever follows the run.
    if (status == lastStatus_)
        return;
    lastStatus_ = status;
    if (status == TSessionStatus::ProgrammingFlash)
        blocksSent_ = 0;
    report_.Status(port_, status, text);
}

void TPortSession::BlocksDone(std::uint64_t examined, std::uint64_t total, std::uint64_t sent)
{
    TFlashProgress progress{examined, total, sent, session_->BlocksToSend()};
    // Called after each block sent, and after each blank one stepped over. The
    // clock starts as the first block goes out; when the k-th goes out, k - 1
    // have been sent and answered since.
    const bool blockWentOut = sent != blocksSent_;
    if (blockWentOut) {
        const auto now = std::chrono::steady_clock::now();
        if (blocksSent_ == 0)
            firstSentAt_ = now;
        lastSentAt_ = now;
        blocksSent_ = sent;
    }
    const std::uint64_t answered = blocksSent_ > 0 ? blocksSent_ - 1 : 0;
    const double seconds = std::chrono::duration<double>(lastSentAt_ - firstSentAt_).count();
    if (answered >= 2 && seconds > 0) {
        progress.BytesPerSecond = double(answered) * session_->Geometry().BlockSize / seconds;
        // The block last sent is still on its way, unless the walk has
        // stepped over the blank blocks after its answer to the end.
        const bool over = examined >= total && !blockWentOut;
        const std::uint64_t left = progress.ToSend - std::min(answered, progress.ToSend);
        progress.SecondsLeft = over ? 0.0 : seconds / double(answered) * double(left);
    }
    report_.Progress(port_, progress);
}

void TPortSession::ShowError(const QString& text)
{
    report_.Error(port_, text);
}

void TPortSession::ShowPortError(const QString& text)
{
    // The line reopened after a reset, or looked for after it went, fails as
    // it would have at the start.
    report_.Error(port_, PortOpenText(port_, text));
}

void TPortSession::ControllerStarted()
{
    waitLimit_.stop();
    unit_ = {};
    underWay_ = true;
}

TJournalContext TPortSession::JournalContext() const
{
    return {frontEnd_, port_.ComNumber, port_.Device, {}, settings_.NewVersion};
}

void TPortSession::ControllerIdentified(const TControllerRecord& record)
{
    const std::uint64_t controller = ++identified_;
    if (settings_.UnitSeries && journal_) {
        // The number is taken with the record, on the journal's thread; the
        // session waits for it before the erase.
        unit_ = {TUnitAnswer::Pending, {}};
        report_.Identified(port_, record);
        // The journal may answer after a stopped session has been let go.
        journalId_ = journal_->Begin(record, JournalContext(), settings_.UnitSeries,
                                     [self = QPointer(this), controller, record](const QString& unit,
                                                                                 const QString& usedUp) {
                                         if (!self || controller != self->identified_ ||
                                             self->unit_.State != TUnitAnswer::Pending)
                                             return;
                                         self->unit_ = unit.isEmpty() ? TUnitAnswer{TUnitAnswer::Refused, usedUp}
                                                                      : TUnitAnswer{TUnitAnswer::Known, unit};
                                         if (unit.isEmpty())
                                             return;
                                         TControllerRecord numbered = record;
                                         numbered.Unit = unit;
                                         self->report_.Identified(self->port_, numbered);
                                     });
        return;
    }
    TControllerRecord underWay = record;
    AskForUnit(underWay);
    report_.Identified(port_, underWay);
    if (journal_)
        journalId_ = journal_->Begin(underWay, JournalContext());
}

void TPortSession::AskForUnit(TControllerRecord& underWay)
{
    if (!labels_)
        return;
    const std::uint64_t controller = identified_;
    // What the session names in its failure when no label comes in time.
    unit_ = {TUnitAnswer::Pending, QStringLiteral("Unit Label")};
    labelRequest_ = labels_->Ask([this, controller, record = underWay](const std::optional<QString>& label) {
        // Nonzero only when the label comes after Ask has returned; one given
        // at once is told with the identification itself.
        const bool later = std::exchange(labelRequest_, 0) != 0;
        if (controller != identified_ || unit_.State != TUnitAnswer::Pending)
            return;
        unit_ = label ? TUnitAnswer{TUnitAnswer::Known, *label}
                      : TUnitAnswer{TUnitAnswer::Refused, QStringLiteral("No Unit Label Left")};
        if (!label || !later)
            return;
        TControllerRecord labelled = record;
        labelled.Unit = *label;
        report_.Identified(port_, labelled);
    });
    if (unit_.State == TUnitAnswer::Known)
        underWay.Unit = unit_.Text;
    else if (unit_.State == TUnitAnswer::Pending)
        report_.WaitingForUnit(port_);
}

void TPortSession::ControllerEnded(const TControllerRecord& ended)
{
    underWay_ = false;
    if (labelRequest_ != 0)
        labels_->Withdraw(std::exchange(labelRequest_, 0));
    // A controller that ended before its upload never asked for its unit; its
    // record still names the one it was given.
    TControllerRecord record = ended;
    if (record.Unit.isEmpty() && unit_.State == TUnitAnswer::Known)
        record.Unit = unit_.Text;
    unit_ = {};
    ++controllers_;
    if (record.Outcome == TOutcome::Programmed || record.Outcome == TOutcome::ProgrammedWithParameters)
        ++programmed_;
    else
        ++failed_;
    TFlashController controller{controllers_, settings_.NewVersion, record, std::nullopt};
    if (journal_) {
        // Reported once the record is durable (or, at the end, known lost);
        // the port goes on meanwhile. The answer needs nothing of the session,
        // which a front end may let go as soon as it has stopped it.
        journal_->Complete(std::exchange(journalId_, {}), record, JournalContext(),
                           [&report = report_, port = port_, controller](bool recorded) mutable {
                               controller.Recorded = recorded;
                               report.Controller(port, controller);
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
        EndRound(QStringLiteral("The round ended"));
        return;
    }
    if (labels_ && labels_->Exhausted()) {
        EndRound(QStringLiteral("No Unit Label Left"));
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

void TPortSession::EndRound(const QString& why)
{
    // The round is over now, not once the line has drained: a controller
    // that announces itself meanwhile (a failed one returns to waiting at
    // once) must not be taken, only to be cut off as interrupted.
    session_->Shutdown(why);
    AfterOutputDrains([this] { Finish(); });
}

void TPortSession::LabelsEnded()
{
    // A controller under way ends first, with the label it has or refused
    // for want of one; ControllerDone then ends the round.
    if (finished_ || stopping_ || underWay_)
        return;
    EndRound(QStringLiteral("No Unit Label Left"));
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
