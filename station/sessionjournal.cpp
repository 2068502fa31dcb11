#include "sessionjournal.h"

#include "inifile.h"
#include "portmap.h"
#include "sessiontexts.h"

#include <QCoreApplication>
#include <QDir>
#include <QEvent>
#include <QEventLoop>
#include <QFile>
#include <QTimer>

#include <sys/stat.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <tuple>

namespace {

std::string Utf8(const QString& text)
{
    return text.toStdString();
}

std::filesystem::path PathOf(const QString& path)
{
    return std::filesystem::path(QFile::encodeName(path).toStdString());
}

} // namespace

TJournalPlace ResolveJournalPlace(const QString& programFolder, const TIniFile& ini, const QString& fileOption,
                                  const QString& serverOption)
{
    const QDir folder(programFolder);
    TJournalPlace place;
    QString file = fileOption;
    if (file.isEmpty())
        file = QFile::decodeName(QByteArray::fromStdString(ini.ReadString("Journal", "File", "")));
    // A name from Loader.ini is taken from the program's folder, as the
    // loaders' names are; the command line's from the working folder, as its
    // other files are (the caller makes it absolute).
    place.File = PathOf(file.isEmpty() ? folder.filePath(QStringLiteral("journal.sqlite")) : folder.filePath(file));
    place.Server = serverOption.isEmpty() ? ini.ReadString("Journal", "Server", "") : serverOption.toStdString();
    return place;
}

TJournalRecord JournalRecordOf(const TControllerRecord& r, const TJournalContext& context)
{
    TJournalRecord j;
    j.Id = NewJournalId();
    j.Started = JournalTime(r.Started);
    j.Ended = JournalTime(r.Ended);
    j.Host = LocalHostName();
    j.ProgramVersion = QR740_VERSION;
    j.FrontEnd = std::string(context.FrontEnd);
    j.ComNumber = context.ComNumber;
    j.DevicePath = context.DevicePath;
    j.AdapterSerial = context.AdapterSerial;
    j.Identification = Utf8(QString::fromLatin1(r.TargetId.data(), qsizetype(r.TargetId.size())));
    j.Unit = Utf8(r.Unit);
    j.LoaderFile = Utf8(r.LoaderFile);
    j.LoaderSha256 = Utf8(r.LoaderSha256);
    j.LoaderVersion = Utf8(r.LoaderVersion);
    j.VersionBefore = r.VersionKnown ? Utf8(VersionText(r.InstalledVersion)) : std::string();
    j.VersionToInstall = Utf8(context.NewVersion);
    j.ImagePath = Utf8(r.ImagePath);
    j.ImageSize = std::int64_t(r.ImageSize);
    j.ImageSha256 = Utf8(r.ImageSha256);
    j.FlashSha256 = Utf8(r.FlashSha256);
    j.FlashStart = r.Geometry.FlashStart;
    j.FlashEnd = r.Geometry.FlashEnd;
    j.BlockSize = r.Geometry.BlockSize;
    j.BlocksExamined = std::int64_t(r.BlocksExamined);
    j.BlocksSent = std::int64_t(r.BlocksSent);
    j.BlocksSkipped = std::int64_t(r.BlocksSkipped());
    j.ParameterFile = Utf8(r.ParameterPath);
    j.ParameterSha256 = Utf8(r.ParameterSha256);
    j.ParameterLinesSent = r.ParameterLines;
    j.ParameterLinesRefused = r.ParameterLinesRefused;
    j.Outcome = OutcomeName(r.Outcome);
    j.FailureKind = FailureName(r.Failure);
    j.Message = Utf8(r.Message);
    j.DurationMs = std::chrono::duration_cast<std::chrono::milliseconds>(r.Ended - r.Started).count();
    return j;
}

// What the front end's thread and the writer's thread share.
struct TJournalWriterShared {
    // A record waiting to be written.
    struct TItem {
        std::uint64_t Number = 0;
        TJournalRecord Record;
        bool UnderWay = false;
        bool InFlight = false; // being written now: it may not change meanwhile
        // Under way, for a unit to be given the next number of this series.
        std::optional<TUnitSeries> Series;
    };

    std::unique_ptr<TJournal> Journal; // used by the writer's thread only, once started
    TSessionJournalTiming Timing;

    std::mutex Mutex; // guards what follows
    std::condition_variable Changed;
    std::deque<TItem> Queue; // in the order of writing
    // The numbers given, by record id: a record finished without its unit (its
    // session ended before it heard the number) keeps the one it was given.
    std::map<std::string, std::string> UnitsGiven;
    bool CountWanted = false;
    bool Stopping = false;
    std::thread Thread;
};

namespace {

// The adapters' serial numbers, looked up once per device node: asking the
// system lists every serial device, which for a gang of 64 ports, a record
// each, cost more than all the ports' conversations together. A node made
// anew (another adapter plugged in under the same name) is looked up anew.
class TAdapterSerials {
public:
    std::string Of(const std::string& devicePath)
    {
        struct stat node {};
        if (::stat(devicePath.c_str(), &node) != 0)
            return {};
        const TNode key{node.st_rdev, node.st_ino, node.st_ctim.tv_sec, node.st_ctim.tv_nsec};
        const auto known = known_.find(devicePath);
        if (known != known_.end() && known->second.first == key)
            return known->second.second;
        std::string serial = AdapterSerialOf(devicePath);
        known_[devicePath] = {key, serial};
        return serial;
    }

private:
    using TNode = std::tuple<dev_t, ino_t, time_t, long>;
    std::map<std::string, std::pair<TNode, std::string>> known_;
};

// The writer's thread: the oldest record first, so that the records of one port
// keep their order; a failure holds those behind it too, since it is the
// file's (its lock, its disk), not the record's.
void WriteRecords(TJournalWriterShared& shared, const std::function<void(std::uint64_t)>& written,
                  const std::function<void(std::uint64_t, const std::string&, const std::string&)>& unitGiven,
                  const std::function<void(const std::string&)>& failed, const std::function<void()>& drained,
                  const std::function<void()>& closed, const std::function<void(const TJournalSummary&)>& counted)
{
    try {
        // Records left under way by programs that have ended: closed now,
        // rather than at this program's first record, and forwarded.
        if (shared.Journal->CloseAbandoned() > 0)
            closed();
    } catch (const TJournalError&) {
        // Done again after every record written.
    }
    std::string lastError;
    TAdapterSerials adapterSerials;
    auto retryAt = std::chrono::steady_clock::time_point::min();
    std::unique_lock lock(shared.Mutex);
    for (;;) {
        // A failed write's pause is waited out whole: new records do not
        // hurry it, since they meet the same file.
        if (retryAt == std::chrono::steady_clock::time_point::min())
            shared.Changed.wait(lock, [&] { return shared.Stopping || !shared.Queue.empty() || shared.CountWanted; });
        else
            shared.Changed.wait_until(lock, retryAt, [&] { return shared.Stopping || shared.CountWanted; });
        if (shared.Stopping)
            return;
        // Counted once the records before the request are written, so that the
        // count holds them; while writing fails, at once.
        if (shared.CountWanted && (shared.Queue.empty() || retryAt != std::chrono::steady_clock::time_point::min())) {
            shared.CountWanted = false;
            lock.unlock();
            try {
                TJournalFilter today;
                today.Since = StartOfLocalDay(std::chrono::system_clock::now());
                counted(SummarizeJournal(shared.Journal->Records(today)));
            } catch (const TJournalError&) {
                // The counts on screen stay as they were; the next record asks again.
            }
            lock.lock();
            continue;
        }
        if (shared.Queue.empty() || std::chrono::steady_clock::now() < retryAt)
            continue;
        TJournalWriterShared::TItem& front = shared.Queue.front();
        front.InFlight = true;
        if (!front.UnderWay && front.Record.Unit.empty()) {
            const auto given = shared.UnitsGiven.find(front.Record.Id);
            if (given != shared.UnitsGiven.end())
                front.Record.Unit = given->second;
        }
        TJournalWriterShared::TItem item = front;
        lock.unlock();
        if (item.Record.AdapterSerial.empty() && !item.Record.DevicePath.empty())
            item.Record.AdapterSerial = adapterSerials.Of(item.Record.DevicePath);
        std::string error;
        std::string unit;
        std::string usedUp;
        try {
            if (item.UnderWay && item.Series)
                unit = shared.Journal->BeginWithUnit(item.Record, *item.Series);
            else if (item.UnderWay)
                shared.Journal->Begin(item.Record);
            else
                shared.Journal->Append(item.Record);
        } catch (const TUnitSeriesUsedUp& e) {
            usedUp = e.what();
        } catch (const TJournalError& e) {
            error = e.what();
        }
        lock.lock();
        shared.Queue.front().InFlight = false;
        shared.Queue.front().Record.AdapterSerial = item.Record.AdapterSerial;
        if (!usedUp.empty()) {
            // Recorded all the same, without a number.
            shared.Queue.front().Series.reset();
            unitGiven(item.Number, {}, usedUp);
            continue;
        }
        if (!unit.empty()) {
            shared.UnitsGiven[item.Record.Id] = unit;
            unitGiven(item.Number, unit, {});
        }
        if (error.empty()) {
            shared.Queue.pop_front();
            retryAt = std::chrono::steady_clock::time_point::min();
            if (!item.UnderWay) {
                shared.UnitsGiven.erase(item.Record.Id);
                written(item.Number);
            }
            if (!lastError.empty())
                failed({});
            if (shared.Queue.empty())
                drained();
        } else {
            retryAt = std::chrono::steady_clock::now() + shared.Timing.RetryInterval;
            if (error != lastError)
                failed(error);
        }
        lastError = error;
        shared.Changed.notify_all();
    }
}

} // namespace

TSessionJournal::TSessionJournal(const TJournalPlace& place, TSessionJournalTiming timing)
    : file_(place.File), shared_(std::make_unique<TJournalWriterShared>())
{
    shared_->Timing = timing;
    TJournalOptions options;
    options.BusyTimeout = timing.BusyTimeout;
    // Finish and the destructor do not wait out another program's lock.
    options.KeepWaiting = [shared = shared_.get()] {
        std::lock_guard lock(shared->Mutex);
        return !shared->Stopping;
    };
    shared_->Journal = std::make_unique<TJournal>(place.File, std::move(options));
    if (!place.Server.empty()) {
        forwarder_ = std::make_unique<TJournalForwarder>(place.File, place.Server, timing.Forwarding);
        forwarder_->SetStatusReport([this](const TJournalForwarderStatus& status) {
            QMetaObject::invokeMethod(
                this,
            [this, status] {
                if (OnForwardingChanged)
                    OnForwardingChanged(status);
            },
            Qt::QueuedConnection);
        });
        forwarder_->Start();
    }
    // The thread tells this object's thread through its event queue, so that
    // everything a front end hears comes on its own thread, outside any
    // session's call. The destructor ends the thread before this object goes.
    const auto forward = [this] {
        if (forwarder_)
            forwarder_->RecordAppended();
    };
    const auto written = [this, forward](std::uint64_t number) {
        QMetaObject::invokeMethod(this, [this, number] { Written(number); }, Qt::QueuedConnection);
        forward();
    };
    // Wakes Finish's wait.
    const auto drained = [this] { QMetaObject::invokeMethod(this, [] {}, Qt::QueuedConnection); };
    const auto failed = [this](const std::string& error) {
        QMetaObject::invokeMethod(
            this,
            [this, text = QString::fromStdString(error)] {
                if (text.isEmpty() && OnWriteRecovered)
                    OnWriteRecovered();
                else if (!text.isEmpty() && OnWriteFailed)
                    OnWriteFailed(text);
            },
            Qt::QueuedConnection);
    };
    const auto unitGiven = [this](std::uint64_t number, const std::string& unit, const std::string& usedUp) {
        QMetaObject::invokeMethod(
            this,
            [this, number, unit = QString::fromStdString(unit), usedUp = QString::fromStdString(usedUp)] {
                const auto found = unitGiven_.find(number);
                if (found == unitGiven_.end())
                    return;
                const auto given = std::move(found->second);
                unitGiven_.erase(found);
                given(unit, usedUp);
            },
            Qt::QueuedConnection);
    };
    const auto counted = [this](const TJournalSummary& today) {
        QMetaObject::invokeMethod(
            this,
            [this, today] {
                if (OnCounted)
                    OnCounted(today);
            },
            Qt::QueuedConnection);
    };
    shared_->Thread = std::thread([shared = shared_.get(), written, unitGiven, failed, drained, forward, counted] {
        WriteRecords(*shared, written, unitGiven, failed, drained, forward, counted);
    });
}

TSessionJournal::~TSessionJournal()
{
    {
        std::lock_guard lock(shared_->Mutex);
        shared_->Stopping = true;
    }
    shared_->Changed.notify_all();
    // A write in progress ends with its busy wait (KeepWaiting) or its sync.
    if (shared_->Thread.joinable())
        shared_->Thread.join();
    forwarder_.reset();
}

std::int64_t TSessionJournal::UnitsLeft(const TUnitSeries& series) const
{
    return UnitsLeftIn(file_, series);
}

void TSessionJournal::CountToday()
{
    {
        std::lock_guard lock(shared_->Mutex);
        shared_->CountWanted = true;
    }
    shared_->Changed.notify_all();
}

std::string TSessionJournal::ServerName() const
{
    return forwarder_ ? forwarder_->ServerName() : std::string();
}

std::string TSessionJournal::Begin(const TControllerRecord& record, const TJournalContext& context,
                                   const std::optional<TUnitSeries>& series,
                                   std::function<void(const QString& unit, const QString& usedUp)> given)
{
    TJournalRecord journalRecord = JournalRecordOf(record, context);
    // What is known of its end so far: it was under way now.
    const auto now = std::chrono::system_clock::now();
    journalRecord.Ended = JournalTime(now);
    journalRecord.DurationMs = std::chrono::duration_cast<std::chrono::milliseconds>(now - record.Started).count();
    {
        std::lock_guard lock(shared_->Mutex);
        shared_->Queue.push_back({++next_, journalRecord, true, false, series});
    }
    if (series && given)
        unitGiven_[next_] = std::move(given);
    shared_->Changed.notify_all();
    return journalRecord.Id;
}

void TSessionJournal::Complete(const std::string& id, const TControllerRecord& record,
                               const TJournalContext& context, std::function<void(bool)> recorded)
{
    TJournalRecord journalRecord = JournalRecordOf(record, context);
    if (!id.empty())
        journalRecord.Id = id;
    const std::uint64_t number = ++next_;
    if (recorded)
        recorded_[number] = std::move(recorded);
    {
        std::lock_guard lock(shared_->Mutex);
        // A record under way that is not written yet is written finished
        // instead, once.
        const auto waiting = std::find_if(shared_->Queue.begin(), shared_->Queue.end(), [&](const auto& item) {
            return item.UnderWay && !item.InFlight && item.Record.Id == journalRecord.Id;
        });
        if (waiting != shared_->Queue.end())
            *waiting = {number, journalRecord, false, false, std::nullopt};
        else
            shared_->Queue.push_back({number, journalRecord, false, false, std::nullopt});
    }
    shared_->Changed.notify_all();
}

void TSessionJournal::Written(std::uint64_t number)
{
    const auto found = recorded_.find(number);
    if (found == recorded_.end())
        return;
    const auto recorded = std::move(found->second);
    recorded_.erase(found);
    recorded(true);
}

bool TSessionJournal::AllWritten() const
{
    std::lock_guard lock(shared_->Mutex);
    return shared_->Queue.empty();
}

std::vector<TJournalRecord> TSessionJournal::Finish()
{
    // The events are served meanwhile, so that the records written are told
    // as they are. Not by an event loop of its own: one that a signal has
    // ended (QCoreApplication::exit) would return at once, and the records of
    // the controllers it interrupted would be lost.
    const auto deadline = std::chrono::steady_clock::now() + shared_->Timing.FinishWait;
    QTimer wake;
    wake.setSingleShot(true);
    wake.start(shared_->Timing.FinishWait);
    while (!AllWritten() && std::chrono::steady_clock::now() < deadline)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    std::deque<TJournalWriterShared::TItem> unwritten;
    {
        std::lock_guard lock(shared_->Mutex);
        shared_->Stopping = true;
    }
    shared_->Changed.notify_all();
    if (shared_->Thread.joinable())
        shared_->Thread.join();
    unwritten.swap(shared_->Queue);
    // The records written before the end are told first, in their order.
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    std::vector<TJournalRecord> lost;
    for (const auto& item : unwritten) {
        // A record under way whose finished form waits behind it is given once,
        // finished.
        const bool finishedLater =
            item.UnderWay && std::any_of(unwritten.begin(), unwritten.end(), [&](const auto& other) {
                return !other.UnderWay && other.Record.Id == item.Record.Id;
            });
        if (finishedLater)
            continue;
        lost.push_back(item.Record);
        if (const auto found = recorded_.find(item.Number); found != recorded_.end()) {
            const auto recorded = std::move(found->second);
            recorded_.erase(found);
            recorded(false);
        }
    }
    return lost;
}

std::optional<TJournalForwarderStatus> TSessionJournal::WaitForForwarding(std::chrono::milliseconds limit)
{
    if (!forwarder_)
        return std::nullopt;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        TJournalForwarderStatus status = forwarder_->Status();
        // The forwarder's own count is ahead by a record now and then: one
        // written just before it counted is added again when it hears of it.
        // The file says how many really wait; the writer's thread has ended,
        // so the journal is this thread's to read.
        try {
            status.Waiting = static_cast<std::uint64_t>(shared_->Journal->CountUnforwarded());
        } catch (const TJournalError&) {
            // Then the forwarder's count is the best known.
        }
        if (status.Waiting == 0)
            return std::nullopt;
        // A server that is down is not waited for: its records go next time.
        if (!status.LastError.empty() || std::chrono::steady_clock::now() >= deadline)
            return status;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::optional<TJournalForwarderStatus> TSessionJournal::ForwardingStatus() const
{
    if (!forwarder_)
        return std::nullopt;
    return forwarder_->Status();
}

QString ForwardingText(const TJournalForwarderStatus& status)
{
    const QString waiting = status.Waiting == 1 ? QStringLiteral("1 record waiting")
                                                : QStringLiteral("%1 records waiting").arg(status.Waiting);
    if (!status.LastError.empty())
        return waiting + QStringLiteral(". ") + QString::fromStdString(status.LastError);
    if (status.Waiting == 0)
        return QStringLiteral("Journal server: every record forwarded");
    return QStringLiteral("Journal server: ") + waiting;
}
