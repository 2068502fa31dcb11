#include "jsonprinter.h"

#include "flashsettings.h"
#include "sessiontexts.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>

QString UtcText(std::chrono::system_clock::time_point at)
{
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count();
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODateWithMs);
}

QJsonObject RecordJson(const TFlashController& c)
{
    const TControllerRecord& r = c.Record;
    QJsonObject o;
    o["number"] = c.Number;
    o["outcome"] = QString::fromLatin1(OutcomeName(r.Outcome));
    o["failure"] = QString::fromLatin1(FailureName(r.Failure));
    o["message"] = r.Message;
    o["started"] = UtcText(r.Started);
    o["ended"] = UtcText(r.Ended);
    o["duration_ms"] = double(std::chrono::duration_cast<std::chrono::milliseconds>(r.Ended - r.Started).count());
    o["identification"] = QString::fromLatin1(r.TargetId.data(), qsizetype(r.TargetId.size()));
    o["unit"] = r.Unit;
    o["loader_file"] = r.LoaderFile;
    o["loader_sha256"] = r.LoaderSha256;
    o["loader_version"] = r.LoaderVersion;
    o["installed_version"] = r.VersionKnown ? QJsonValue(VersionText(r.InstalledVersion)) : QJsonValue();
    o["new_version"] = c.NewVersion;
    o["flash_start"] = double(r.Geometry.FlashStart);
    o["flash_end"] = double(r.Geometry.FlashEnd);
    o["block_size"] = r.Geometry.BlockSize;
    o["image_path"] = r.ImagePath;
    o["image_size"] = double(r.ImageSize);
    o["image_sha256"] = r.ImageSha256;
    o["flash_sha256"] = r.FlashSha256;
    o["blocks_total"] = double(r.BlocksTotal);
    o["blocks_examined"] = double(r.BlocksExamined);
    o["blocks_sent"] = double(r.BlocksSent);
    o["blocks_skipped"] = double(r.BlocksSkipped());
    o["parameter_file"] = r.ParameterPath;
    o["parameter_sha256"] = r.ParameterSha256;
    o["parameter_lines"] = double(r.ParameterLines);
    o["parameter_lines_refused"] = double(r.ParameterLinesRefused);
    o["recorded"] = c.Recorded ? QJsonValue(*c.Recorded) : QJsonValue();
    return o;
}

TJsonPrinter::TJsonPrinter(TFlashOutput& out) : out_(out) {}

void TJsonPrinter::Tell(const TFlashPort* port, const QString& text)
{
    // Whoever watches the run reads its errors where every program puts them.
    const QString where = port ? port->Name + QStringLiteral(": ") : QString();
    out_.WriteError((QStringLiteral("qr740-flash: ") + where + text + QLatin1Char('\n')).toLocal8Bit().toStdString());
}

void TJsonPrinter::Emit(const TFlashPort* port, const char* event, QJsonObject fields, bool progress)
{
    fields["time"] = UtcText(std::chrono::system_clock::now());
    fields["port"] = port ? QJsonValue(port->Name) : QJsonValue();
    fields["event"] = QString::fromLatin1(event);
    const QByteArray line = QJsonDocument(fields).toJson(QJsonDocument::Compact) + '\n';
    const std::string_view text(line.constData(), std::size_t(line.size()));
    // A port's progress not written yet is news no longer once the next comes.
    if (progress && port)
        out_.WriteProgress(port->Name.toStdString(), text);
    else
        out_.Write(text);
}

void TJsonPrinter::Waiting(const TFlashPort& port)
{
    Emit(&port, "waiting", {{"device", QString::fromStdString(port.Device)}, {"com", port.ComNumber}});
}

void TJsonPrinter::Status(const TFlashPort& port, TSessionStatus status, const QString& text)
{
    Emit(&port, "stage", {{"stage", QString::fromLatin1(StatusName(status))}, {"text", text}});
}

void TJsonPrinter::WaitingForUnit(const TFlashPort& port)
{
    Emit(&port, "waiting-for-unit", {{"text", QStringLiteral("waiting for a unit label")}});
}

void TJsonPrinter::Progress(const TFlashPort& port, const TFlashProgress& p)
{
    QJsonObject fields{{"blocks_examined", double(p.Examined)},
                       {"blocks_total", double(p.Total)},
                       {"blocks_sent", double(p.Sent)},
                       {"blocks_to_send", double(p.ToSend)}};
    fields["bytes_per_second"] = p.BytesPerSecond >= 0 ? QJsonValue(std::round(p.BytesPerSecond)) : QJsonValue();
    fields["seconds_left"] = p.SecondsLeft >= 0 ? QJsonValue(std::round(p.SecondsLeft * 10) / 10) : QJsonValue();
    Emit(&port, "progress", fields, true);
}

void TJsonPrinter::Error(const TFlashPort& port, const QString& text)
{
    Tell(&port, text);
    Emit(&port, "error", {{"message", text}});
}

void TJsonPrinter::ImageChanged(const TFlashPort& port, const QString& before, const QString& now)
{
    Tell(&port, ImageChangedText(before, now));
    Emit(&port, "image-changed", {{"image_sha256", now}, {"was", before}});
}

void TJsonPrinter::Controller(const TFlashPort& port, const TFlashController& controller)
{
    Emit(&port, "controller", RecordJson(controller));
}

void TJsonPrinter::WaitExpired(const TFlashPort& port, double seconds)
{
    const QString text = QStringLiteral("no controller announced itself within %1 s").arg(seconds);
    Tell(&port, text);
    Emit(&port, "error", {{"message", text}, {"wait_expired", true}});
}

void TJsonPrinter::Done(const std::vector<TFlashPortSummary>& ports, int exitStatus)
{
    QJsonArray list;
    int programmed = 0;
    int failed = 0;
    for (const TFlashPortSummary& p : ports) {
        list.append(QJsonObject{{"port", p.Port},
                                {"programmed", p.Programmed},
                                {"failed", p.Failed},
                                {"wait_expired", p.WaitExpired}});
        programmed += p.Programmed;
        failed += p.Failed;
    }
    Emit(nullptr, "done",
         {{"programmed", programmed}, {"failed", failed}, {"exit_status", exitStatus}, {"ports", list}});
}

void TJsonPrinter::JournalWrite(const QString& error, const std::filesystem::path& journal)
{
    // A failure is an error like any other; the recovery is news for people.
    Tell(nullptr, JournalWriteText(error, journal));
    if (!error.isEmpty())
        Emit(nullptr, "error", {{"message", error}});
}

void TJsonPrinter::Forwarding(const TForwardingState& state, bool atEnd)
{
    Tell(nullptr, ForwardingText(state, atEnd));
    const TJournalForwarderStatus& s = state.Status;
    Emit(nullptr, "journal",
         {{"forwarded", double(s.Forwarded)},
          {"waiting", double(s.Waiting)},
          {"error", s.LastError.empty() ? QJsonValue() : QJsonValue(QString::fromStdString(s.LastError))}});
}
