#include "sessionjournal.h"

#include "inifile.h"
#include "sessiontexts.h"

#include <QDir>
#include <QFile>

#include <thread>

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
    j.LoaderFile = Utf8(r.LoaderFile);
    j.LoaderSha256 = Utf8(r.LoaderSha256);
    j.LoaderVersion = Utf8(r.LoaderVersion);
    j.VersionBefore = r.VersionKnown ? Utf8(VersionText(r.InstalledVersion)) : std::string();
    j.VersionToInstall = Utf8(context.NewVersion);
    j.ImagePath = Utf8(r.ImagePath);
    j.ImageSize = std::int64_t(r.ImageSize);
    j.ImageSha256 = Utf8(r.ImageSha256);
    j.FlashStart = r.Geometry.FlashStart;
    j.FlashEnd = r.Geometry.FlashEnd;
    j.BlockSize = r.Geometry.BlockSize;
    j.BlocksExamined = std::int64_t(r.BlocksExamined);
    j.BlocksSent = std::int64_t(r.BlocksSent);
    j.BlocksSkipped = std::int64_t(r.BlocksSkipped());
    j.ParameterFile = Utf8(r.ParameterPath);
    j.ParameterSha256 = Utf8(r.ParameterSha256);
    j.ParameterLinesSent = r.ParameterLines;
    j.Outcome = OutcomeName(r.Outcome);
    j.FailureKind = FailureName(r.Failure);
    j.Message = Utf8(r.Message);
    j.DurationMs = std::chrono::duration_cast<std::chrono::milliseconds>(r.Ended - r.Started).count();
    return j;
}

TSessionJournal::TSessionJournal(const TJournalPlace& place) : journal_(place.File)
{
    if (!place.Server.empty()) {
        forwarder_ = std::make_unique<TJournalForwarder>(place.File, place.Server);
        forwarder_->Start();
    }
}

TSessionJournal::~TSessionJournal() = default;

void TSessionJournal::Append(const TControllerRecord& record, const TJournalContext& context)
{
    journal_.Append(JournalRecordOf(record, context));
    if (forwarder_)
        forwarder_->RecordAppended();
}

bool TSessionJournal::WaitForForwarding(std::chrono::milliseconds limit)
{
    if (!forwarder_)
        return true;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const TJournalForwarderStatus status = forwarder_->Status();
        if (status.Waiting == 0)
            return true;
        // A server that is down is not waited for: its records go next time.
        if (!status.LastError.empty() || std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::optional<TJournalForwarderStatus> TSessionJournal::ForwardingStatus() const
{
    if (!forwarder_)
        return std::nullopt;
    return forwarder_->Status();
}
