// The programming sequencer: the erase, the blocks, and the restart that hands
// over to the parameter download. Each step sends at most one request; the next
// runs when its reply arrives, or at once when it needs none (a blank block).

#include "loadersession.h"

#include "sessionprivate.h"

#include <vacomm.h>

#include <QThread>
#include <QThreadPool>

#include <algorithm>
#include <mutex>

using namespace session_detail;

// One read of the image, shared by the session and the thread that reads: the
// session may have let go of it (a reset, a lost line, the session's end)
// before the thread is done.
struct TImageReadJob {
    std::mutex Mutex;
    bool Abandoned = false; // guarded by Mutex
};

namespace {

// The threads that read images, shared by every session of the process and
// kept between reads: a gang's ports read theirs at about the same moment.
// Never destroyed: a pool waits for its reads when it goes, and a read from a
// share that hangs must not hold the program's exit.
QThreadPool& ImageReaders()
{
    static QThreadPool* const pool = [] {
        auto* readers = new QThreadPool;
        readers->setMaxThreadCount(std::max(2, QThread::idealThreadCount()));
        return readers;
    }();
    return *pool;
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

void TLoaderSession::bGoClick()
{
    Listener.EnableUploadNow(false);
    // Pressed before the version reply (or again after the upload began), it
    // would erase a flash whose geometry it does not know.
    if (!UploadNowReady_ || ShutDown_)
        return;
    StartUpload();
    // Its request was sent outside any receive handler.
    UpdateRxThreshold();
}

QString TLoaderSession::ImagePath() const
{
    return TrimControls(TrimControls(Host.ImageFolder() + Host.ImageName()) + Host.ImageExtension());
}

bool TLoaderSession::UnitReady()
{
    const TUnitAnswer unit = Host.UnitOfController();
    switch (unit.State) {
    case TUnitAnswer::None:
        return true;
    case TUnitAnswer::Known: {
        // The unit may go into a parameter line, and a control character there
        // would end or change the command the controller takes.
        const auto control = [](QChar c) { return c.category() == QChar::Other_Control; };
        if (std::any_of(unit.Text.begin(), unit.Text.end(), control)) {
            QString shown = unit.Text;
            std::replace_if(shown.begin(), shown.end(), control, QLatin1Char('?'));
            FailAndReset(TFailure::ParameterFile, QStringLiteral("Unit \"%1\" Holds A Control Character").arg(shown));
            return false;
        }
        Record_.Unit = unit.Text;
        return true;
    }
    case TUnitAnswer::Refused:
        FailAndReset(TFailure::ParameterFile, unit.Text);
        return false;
    case TUnitAnswer::Pending:
        break;
    }
    if (UnitWaited_ >= kUnitWait) {
        const QString awaited = unit.Text.isEmpty() ? QStringLiteral("Serial Number From The Journal") : unit.Text;
        FailAndReset(TFailure::ParameterFile,
                     QStringLiteral("No %1 After %2 s").arg(awaited).arg(kUnitWait.count() / 1000));
        return false;
    }
    UnitWaited_ += kUnitPoll;
    PauseThen(kUnitPoll, &TLoaderSession::StartUpload);
    return false;
}

void TLoaderSession::StartUpload()
{
    UploadNowReady_ = false;
    // Nothing is erased before the unit is known: a unit that cannot have its
    // number keeps the firmware it had.
    if (!UnitReady())
        return;
    const QString path = ImagePath();
    ReleaseFiles();
    Record_.ImagePath = path;
    // Everything that would make the erase the only thing written is refused
    // before the erase: a controller must never end up blank under a message
    // that says it was programmed.
    if (Geometry_.FlashEnd <= Geometry_.FlashStart) {
        FailAndReset(TFailure::UnusableGeometry,
                     QStringLiteral("Target Reported An Unusable Flash Range (%1 to %2)")
                         .arg(AddressText(Geometry_.FlashStart), AddressText(Geometry_.FlashEnd)));
        return;
    }
    if (Geometry_.BlockSize == 0) {
        FailAndReset(TFailure::UnusableGeometry,
                     QStringLiteral("Target Reported An Unusable Flash Block Size (0)"));
        return;
    }
    BlocksTotal_ = BlockCount(Geometry_);
    BlocksExamined_ = 0;
    BlocksSent_ = 0;
    BlocksToSend_ = 0;
    ReadImageAside(path);
}

void TLoaderSession::ReadImageAside(const QString& path)
{
    AbandonImageRead();
    auto job = std::make_shared<TImageReadJob>();
    ImageJob_ = job;
    ImageWait_.start(Timing_.ImageRead);
    ImageReaders().start([this, job, path, geometry = Geometry_] {
        TImageRead image = ReadImage(path, geometry);
        // Under the lock, so that the session, which abandons the job before
        // it goes, is still there while its event is posted; an event posted
        // to an object that then goes is dropped with it.
        std::lock_guard lock(job->Mutex);
        if (job->Abandoned)
            return;
        QMetaObject::invokeMethod(
            &ImageArrival_,
            [this, job, image = std::move(image)]() mutable {
                // Whatever let go of the controller meanwhile (a reset, a
                // lost line, a report's box) abandoned the read.
                if (ImageJob_ != job)
                    return;
                AbandonImageRead();
                try {
                    ImageRead(std::move(image));
                } catch (...) {
                    PortFailed(std::current_exception());
                }
                // Its requests were sent outside any receive handler.
                UpdateRxThreshold();
            },
            Qt::QueuedConnection);
    });
}

void TLoaderSession::AbandonImageRead()
{
    ImageWait_.stop();
    if (!ImageJob_)
        return;
    {
        std::lock_guard lock(ImageJob_->Mutex);
        ImageJob_->Abandoned = true;
    }
    ImageJob_.reset();
}

void TLoaderSession::ImageTookTooLong()
{
    // The failure abandons the read.
    FailAndReset(TFailure::ImageUnusable,
                 QStringLiteral("Target Binary File %1 Could Not Be Read In %2 s")
                     .arg(Record_.ImagePath)
                     .arg(double(Timing_.ImageRead.count()) / 1000.0));
}

void TLoaderSession::ImageRead(TImageRead image)
{
    const QString path = Record_.ImagePath;
    Record_.ImageSize = image.FileSize;
    Record_.ImageSha256 = image.Sha256;
    Record_.FlashSha256 = image.FlashSha256;
    const QString file = QStringLiteral("Target Binary File ") + path;
    switch (image.Status) {
    case TImageRead::Read:
        break;
    case TImageRead::Unreadable:
        FailAndReset(TFailure::ImageUnusable, file + QStringLiteral(" Not Found"));
        return;
    case TImageRead::NotAFile:
        FailAndReset(TFailure::ImageUnusable, file + QStringLiteral(" Is Not A File"));
        return;
    case TImageRead::Empty:
        FailAndReset(TFailure::ImageUnusable, file + QStringLiteral(" Is Empty"));
        return;
    case TImageRead::DoesNotFit: {
        QString text = file + QStringLiteral(" Does Not Fit The Flash (%1 to %2)")
                                  .arg(AddressText(Geometry_.FlashStart), AddressText(Geometry_.FlashEnd));
        if (image.HasAddress)
            text += QStringLiteral(": Data At ") + AddressText(image.Address);
        FailAndReset(TFailure::ImageUnusable, text);
        return;
    }
    case TImageRead::Refused:
        FailAndReset(TFailure::ImageUnusable, file + QStringLiteral(": ") + image.Refusal);
        return;
    case TImageRead::TooLarge:
        FailAndReset(TFailure::ImageUnusable,
                     file + QStringLiteral(" Is Larger Than %1 MiB").arg(kRecordFileLimit / (1024 * 1024)));
        return;
    }
    // Compared where the image is read: the file a controller gets is the one
    // this digest was taken of, whatever happened to it since the run began.
    if (const TImageExpectation expected = Host.ExpectedImage();
        !expected.Sha256.isEmpty() && image.Sha256 != expected.Sha256) {
        if (expected.Pinned) {
            Record_.FlashSha256.clear(); // none of it goes onto the controller
            FailAndReset(TFailure::ImageUnusable,
                         file + QStringLiteral(" Has Changed: Its SHA-256 Is %1, Not The Pinned %2")
                                    .arg(image.Sha256, expected.Sha256));
            return;
        }
        Listener.ImageChanged(expected.Sha256, image.Sha256);
    }
    Image_ = std::move(image.Bytes);
    ImageLoaded_ = true;
    BlocksToSend_ = ::BlocksToSend(Geometry_, Image_);

    Gauge_ = GaugeFor(BlocksTotal_);
    Listener.SetProgressRange(Gauge_.MaxValue);
    Listener.SetProgress(0);
    Phase_ = Erasing;
    EraseStep_ = 0;
    Address_ = 0;
    ContinueUpload(true);
}

void TLoaderSession::ContinueUpload(bool Ok)
{
    if (Phase_ == LoadingParameters) {
        if (!Ok) {
            FailAndReset(TFailure::RestartRefused, QStringLiteral("NAK rcvd while Loading Parameters"));
            return;
        }
        if (Stage_ != SettingParameters) {
            StartParameters();
            return;
        }
        if (!ParamsPending_)
            return;
        try {
            if (SendNextParameter())
                EndParameters(TFailure::None, QString());
        } catch (const EParameterError& e) {
            EndParameters(TFailure::ParameterFile, QString::fromStdString(e.what()));
        } catch (const EVaCommError& e) {
            EndParameters(TFailure::PortError, PortErrorText(e));
        }
        return;
    }

    // A reply that no upload under way is waiting for: the controller sent it
    // unasked, after the image was done with or before one was opened.
    if (!ImageLoaded_)
        return;
    if (!Ok) {
        if (Phase_ == Erasing)
            FailAndReset(TFailure::EraseRefused, QStringLiteral("NAK rcvd while erasing Flash Blocks"));
        else
            FailAndReset(TFailure::BlockRefused, QStringLiteral("NAK rcvd while Updating Flash"));
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
            ShowStatus(TSessionStatus::ProgrammingFlash, QStringLiteral("Programming Flash"));
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
        Listener.SetProgress(Gauge_.MaxValue);
        return true;
    }
    if (Address_ - Geometry_.FlashStart >= Image_.size()) {
        // Everything from here to the end of the range lies past the image and is
        // blank: the rest of the walk is stepped over at once, so that a range far
        // larger than a small image costs nothing.
        BlocksExamined_ = BlocksTotal_;
        Address_ = Geometry_.FlashEnd;
        Skipped = true;
        Listener.SetProgress(Gauge_.MaxValue);
        Listener.BlocksDone(BlocksExamined_, BlocksTotal_, BlocksSent_);
        return true;
    }
    ++BlocksExamined_;
    Listener.SetProgress(GaugeProgress(Gauge_, BlocksExamined_));
    Skipped = SendBlock();
    Listener.BlocksDone(BlocksExamined_, BlocksTotal_, BlocksSent_);
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
    const QString complete = QStringLiteral("Flash Update Complete");
    ShowStatus(TSessionStatus::FlashUpdateComplete, complete);
    if (Host.ParameterName().isEmpty()) {
        EndController(TOutcome::Programmed, TFailure::None, complete);
        return;
    }
    Record_.BlocksTotal = BlocksTotal_;
    bResetClick();
    Phase_ = LoadingParameters;
}

void TLoaderSession::bResetClick()
{
    Awaiting_ = kRestartCommand;
    Link_.SendRequest(kRestartCommand, 0);
}
