#include "consoleprinter.h"

#include "flashsettings.h"
#include "sessiontexts.h"

#include <QFileInfo>

#include <algorithm>
#include <cmath>

namespace {

QString Duration(double seconds)
{
    const auto whole = std::int64_t(std::llround(std::max(seconds, 0.0)));
    return QStringLiteral("%1:%2").arg(whole / 60).arg(whole % 60, 2, 10, QLatin1Char('0'));
}

QString Rate(double bytesPerSecond)
{
    if (bytesPerSecond >= 1024)
        return QStringLiteral("%1 KiB/s").arg(bytesPerSecond / 1024, 0, 'f', 1);
    return QStringLiteral("%1 B/s").arg(bytesPerSecond, 0, 'f', 0);
}

} // namespace

QString PrintableId(const std::string& id)
{
    QString text;
    for (const char c : id) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x20 && b < 0x7F && b != '\\')
            text += QLatin1Char(char(b));
        else
            text += QStringLiteral("\\x%1").arg(b, 2, 16, QLatin1Char('0'));
    }
    return text.isEmpty() ? QStringLiteral("(no identification)") : text;
}

QString SummaryLine(const TFlashController& c)
{
    const TControllerRecord& r = c.Record;
    QString verdict;
    switch (r.Outcome) {
    case TOutcome::Programmed: verdict = QStringLiteral("programmed"); break;
    case TOutcome::ProgrammedWithParameters: verdict = QStringLiteral("programmed with parameters"); break;
    case TOutcome::Failed: verdict = QStringLiteral("FAILED: ") + r.Message; break;
    case TOutcome::Interrupted: verdict = QStringLiteral("INTERRUPTED: ") + r.Message; break;
    }
    const QString image = r.ImagePath.isEmpty() ? QStringLiteral("no image sent") : QFileInfo(r.ImagePath).fileName();
    const QString from = r.VersionKnown ? VersionText(r.InstalledVersion) : QStringLiteral("?");
    const double seconds = std::chrono::duration<double>(r.Ended - r.Started).count();
    // Lines the controller accepted; those it refused only where there are any.
    QString lines = QStringLiteral("%1 parameter lines").arg(r.ParameterLines);
    if (r.ParameterLinesRefused > 0)
        lines += QStringLiteral(", %1 refused").arg(r.ParameterLinesRefused);
    // One pass: a message may hold a '%' and a digit (a parameter line, a file
    // name), which a later arg() would take for its own place.
    QString line = QStringLiteral("controller %1: %2 %3; %4 %5 -> %6, %7 blocks sent, %8 skipped, %9, %10 s")
        .arg(QString::number(c.Number), PrintableId(r.TargetId), verdict, image, from, c.NewVersion,
             QString::number(r.BlocksSent), QString::number(r.BlocksSkipped()), lines,
             QString::number(seconds, 'f', 1));
    if (c.Recorded == false)
        line += QStringLiteral("; NOT RECORDED in the journal");
    return line;
}

QString ProgressBar(const TFlashProgress& p, int width)
{
    const double done = p.Total ? double(p.Examined) / double(p.Total) : 1.0;
    const int filled = std::clamp(int(done * width), 0, width);
    QString bar = QStringLiteral("[") + QString(filled, QLatin1Char('#')) + QString(width - filled, QLatin1Char('.')) +
                  QStringLiteral("] %1/%2 blocks").arg(p.Examined).arg(p.Total);
    if (p.BytesPerSecond > 0)
        bar += QStringLiteral("  ") + Rate(p.BytesPerSecond);
    if (p.SecondsLeft >= 0)
        bar += QStringLiteral("  ") + Duration(p.SecondsLeft) + QStringLiteral(" left");
    return bar;
}

QString StatusLine(const QString& port, const QString& status, const TFlashProgress* progress, int programmed,
                   int failed, const QString& last)
{
    QString line = QStringLiteral("%1  %2  ").arg(port, -8).arg(status, -27);
    line += (progress ? ProgressBar(*progress, 16) : QString()).leftJustified(52, QLatin1Char(' '), true);
    line += QStringLiteral("  ok %1  failed %2").arg(programmed).arg(failed);
    if (!last.isEmpty())
        line += QStringLiteral("  last: ") + last;
    return line;
}

TConsolePrinter::TConsolePrinter(TFlashOutput& out, std::FILE* err, bool terminal, bool quiet, std::size_t ports)
    : out_(out), err_(err), bar_(terminal && ports == 1 && !quiet), block_(terminal && ports > 1 && !quiet), quiet_(quiet)
{
}

TConsolePrinter::TPortState& TConsolePrinter::State(const TFlashPort& port)
{
    if (!ports_.count(port.Name))
        order_.push_back(port.Name);
    return ports_[port.Name];
}

void TConsolePrinter::EndBar()
{
    if (!barShown_)
        return;
    out_.Write("\n");
    barShown_ = false;
}

void TConsolePrinter::EraseBlock()
{
    if (blockLines_ == 0)
        return;
    // Up to the block's first line, and everything from there on cleared.
    out_.Write("\x1b[" + std::to_string(blockLines_) + "A\r\x1b[J");
    blockLines_ = 0;
}

void TConsolePrinter::DrawBlock()
{
    for (const QString& name : order_) {
        const TPortState& p = ports_[name];
        const QString line = StatusLine(name, p.lastStatus, p.programming ? &p.progress : nullptr, p.programmed,
                                        p.failed, p.last);
        out_.Write((line.toLocal8Bit() + "\x1b[K\n").toStdString());
    }
    blockLines_ = int(order_.size());
    out_.Flush();
    drawn_ = std::chrono::steady_clock::now();
}

void TConsolePrinter::Redraw(bool now)
{
    if (!block_)
        return;
    // Progress comes with every block: a few redraws a second are enough to see.
    if (!now && std::chrono::steady_clock::now() - drawn_ < std::chrono::milliseconds(100))
        return;
    EraseBlock();
    DrawBlock();
}

void TConsolePrinter::Line(TStream to, const QString& text)
{
    EndBar();
    if (block_ && to == TStream::Out)
        EraseBlock();
    else if (block_)
        out_.Flush();
    if (to == TStream::Out) {
        out_.Write((text.toLocal8Bit() + '\n').toStdString(), true);
    } else {
        std::fprintf(err_, "%s\n", text.toLocal8Bit().constData());
        std::fflush(err_);
    }
    if (block_ && to == TStream::Out)
        DrawBlock();
}

void TConsolePrinter::Waiting(const TFlashPort& port)
{
    TPortState& state = State(port);
    state.lastStatus = QStringLiteral("waiting for a controller");
    state.lastTenth = -1;
    state.programming = false;
    if (block_)
        Redraw(true);
    else if (!quiet_)
        Line(TStream::Out, QStringLiteral("%1: waiting for a controller on %2")
                               .arg(port.Name, QString::fromStdString(port.Device)));
}

void TConsolePrinter::Status(const TFlashPort& port, TSessionStatus status, const QString& text)
{
    TPortState& state = State(port);
    // The session may show a stage twice (the loader's stage is entered again
    // for its upload); once is enough here. Waiting for a controller has a
    // line of its own, which names the device.
    if (text == state.lastStatus || status == TSessionStatus::WaitingForTarget)
        return;
    state.lastStatus = text;
    state.lastTenth = -1;
    state.programming = status == TSessionStatus::ProgrammingFlash;
    if (block_)
        Redraw(true);
    else if (!quiet_)
        Line(TStream::Out, port.Name + QStringLiteral(": ") + text);
}

void TConsolePrinter::Progress(const TFlashPort& port, const TFlashProgress& progress)
{
    TPortState& state = State(port);
    state.progress = progress;
    if (block_) {
        Redraw(false);
        return;
    }
    if (quiet_)
        return;
    if (bar_) {
        const QString bar = port.Name + QStringLiteral(": ") + ProgressBar(progress, 30);
        // \r and erase to the end: the new bar may be shorter than the last.
        out_.Write(("\r" + bar.toLocal8Bit() + "\x1b[K").toStdString(), true);
        barShown_ = true;
        return;
    }
    const int tenth = progress.Total ? int(progress.Examined * 10 / progress.Total) : 10;
    if (tenth == state.lastTenth)
        return;
    state.lastTenth = tenth;
    Line(TStream::Out, QStringLiteral("%1: %2% (%3/%4 blocks)")
                           .arg(port.Name)
                           .arg(tenth * 10)
                           .arg(progress.Examined)
                           .arg(progress.Total));
}

void TConsolePrinter::Error(const TFlashPort& port, const QString& text)
{
    Line(TStream::Err, QStringLiteral("qr740-flash: %1: %2").arg(port.Name, text));
}

void TConsolePrinter::ImageChanged(const TFlashPort& port, const QString& before, const QString& now)
{
    Line(TStream::Err, QStringLiteral("qr740-flash: %1: %2").arg(port.Name, ImageChangedText(before, now)));
}

void TConsolePrinter::Controller(const TFlashPort& port, const TFlashController& controller)
{
    TPortState& state = State(port);
    state.lastStatus.clear();
    state.programming = false;
    const TOutcome outcome = controller.Record.Outcome;
    const bool ok = outcome == TOutcome::Programmed || outcome == TOutcome::ProgrammedWithParameters;
    (ok ? state.programmed : state.failed) += 1;
    state.last = ok ? QStringLiteral("programmed") : controller.Record.Message;
    Line(TStream::Out, port.Name + QStringLiteral(": ") + SummaryLine(controller));
}

void TConsolePrinter::WaitExpired(const TFlashPort& port, double seconds)
{
    Line(TStream::Err, QStringLiteral("qr740-flash: %1: no controller announced itself within %2 s")
                           .arg(port.Name)
                           .arg(seconds));
}

void TConsolePrinter::Done(const std::vector<TFlashPortSummary>& ports, int)
{
    EndBar();
    if (ports.size() < 2)
        return;
    // The table replaces the block of status lines.
    EraseBlock();
    order_.clear();
    Line(TStream::Out, QStringLiteral("port        programmed  failed"));
    for (const TFlashPortSummary& p : ports) {
        Line(TStream::Out, QStringLiteral("%1  %2  %3%4")
                               .arg(p.Port, -10)
                               .arg(p.Programmed, 10)
                               .arg(p.Failed, 6)
                               .arg(p.WaitExpired ? QStringLiteral("  (no controller in time)") : QString()));
    }
}

void TConsolePrinter::JournalWrite(const QString& error, const std::filesystem::path& journal)
{
    Line(TStream::Err, QStringLiteral("qr740-flash: ") + JournalWriteText(error, journal));
}

void TConsolePrinter::Forwarding(const TForwardingState& state, bool atEnd)
{
    Line(TStream::Err, QStringLiteral("qr740-flash: ") + ForwardingText(state, atEnd));
}
