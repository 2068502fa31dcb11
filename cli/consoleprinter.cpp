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

QString Counted(std::uint64_t count, const char* noun)
{
    return QStringLiteral("%1 %2%3").arg(count).arg(QLatin1String(noun)).arg(count == 1 ? "" : "s");
}

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
    QString lines = Counted(r.ParameterLines, "parameter line");
    if (r.ParameterLinesRefused > 0)
        lines += QStringLiteral(", %1 refused").arg(r.ParameterLinesRefused);
    // One pass: a message may hold a '%' and a digit (a parameter line, a file
    // name), which a later arg() would take for its own place.
    // The unit goes with the identification: "QR740 unit QR000123 programmed".
    const QString unit = r.Unit.isEmpty() ? QString() : QStringLiteral(" unit ") + r.Unit;
    QString line = QStringLiteral("controller %1: %2 %3; %4 %5 -> %6, %7 sent, %8 skipped, %9, %10 s")
        .arg(QString::number(c.Number), PrintableId(r.TargetId) + unit, verdict, image, from, c.NewVersion,
             Counted(r.BlocksSent, "block"), QString::number(r.BlocksSkipped()), lines,
             QString::number(seconds, 'f', 1));
    if (c.Recorded == false)
        line += QStringLiteral("; NOT RECORDED in the journal");
    return line;
}

namespace {

// "[#####.....]  1.2 KiB/s  0:42 left": the bar, the pace and the time left.
QString BarAndPace(const TFlashProgress& p, int width)
{
    const double done = double(p.Examined) / double(p.Total);
    const int filled = std::clamp(int(done * width), 0, width);
    QString text = QStringLiteral("[") + QString(filled, QLatin1Char('#')) + QString(width - filled, QLatin1Char('.')) +
                   QStringLiteral("]");
    if (p.BytesPerSecond >= 0)
        text += QStringLiteral("  ") + Rate(p.BytesPerSecond);
    text += QStringLiteral("  ") + (p.SecondsLeft >= 0 ? Duration(p.SecondsLeft) : QStringLiteral("--:--")) +
            QStringLiteral(" left");
    return text;
}

QString BlocksText(const TFlashProgress& p)
{
    return QStringLiteral("%1/%2").arg(p.Examined).arg(Counted(p.Total, "block"));
}

} // namespace

QString ProgressBar(const TFlashProgress& p, int width)
{
    // A bar of nothing would read as full, or as empty; neither is true yet.
    if (p.Total == 0)
        return {};
    // The count first: a narrow terminal cuts the bar's tail, not the news.
    return BlocksText(p) + QLatin1Char(' ') + BarAndPace(p, width);
}

QString StatusLine(const QString& port, const QString& status, const TFlashProgress* progress, int programmed,
                   int failed, const QString& last)
{
    // The most telling first, so that a narrow terminal loses only the tail:
    // which port, what it does, how far, how its controllers came out; then
    // the bar, and the last controller's outcome in words.
    const bool known = progress && progress->Total > 0;
    QString line = QStringLiteral("%1  %2  %3  ok %4  failed %5")
                       .arg(port, -8)
                       .arg(status, -26)
                       .arg(known ? BlocksText(*progress) : QString(), -14)
                       .arg(programmed)
                       .arg(failed);
    if (known)
        line += QStringLiteral("  ") + BarAndPace(*progress, 16);
    if (!last.isEmpty())
        line += QStringLiteral("  last: ") + last;
    return line;
}

QString FitLine(const QString& line, int columns)
{
    // One column short of the edge: a line that fills the last column leaves
    // the cursor waiting to wrap, and the erase that follows it would take
    // that column's character away.
    if (columns <= 1 || line.size() < columns)
        return line;
    return line.left(columns - 1);
}

TConsolePrinter::TConsolePrinter(TFlashOutput& out, bool terminal, bool quiet, std::size_t ports)
    : out_(out), bar_(terminal && ports == 1 && !quiet), block_(terminal && ports > 1 && !quiet), quiet_(quiet)
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

std::string TConsolePrinter::EraseBlock()
{
    if (blockRows_ == 0)
        return {};
    // Up to the block's first line, and everything from there on cleared.
    const std::string erase = "\x1b[" + std::to_string(blockRows_) + "A\r\x1b[J";
    blockRows_ = 0;
    drawnLengths_.clear();
    return erase;
}

std::string TConsolePrinter::DrawBlock()
{
    std::string block;
    for (const QString& name : order_) {
        const TPortState& p = ports_[name];
        const QString line = FitLine(StatusLine(name, p.lastStatus, p.programming ? &p.progress : nullptr,
                                                p.programmed, p.failed, p.last),
                                     columns_);
        block += (line.toLocal8Bit() + "\x1b[K\n").toStdString();
        drawnLengths_.push_back(int(line.size()));
    }
    blockRows_ = int(order_.size());
    drawn_ = std::chrono::steady_clock::now();
    return block;
}

std::string TConsolePrinter::Redrawn(const std::string& above)
{
    // In this order: the erase must count the rows of the block drawn before.
    std::string text = EraseBlock();
    text += above;
    text += DrawBlock();
    return text;
}

void TConsolePrinter::SetColumns(int columns)
{
    if (columns == columns_)
        return;
    columns_ = columns;
    if (barShown_ && columns > 0 && barLength_ > columns) {
        // The bar, re-wrapped, now ends rows below where it began: taken off
        // whole, so that the next one is drawn from its first row.
        const int above = (barLength_ - 1) / columns;
        out_.Write("\x1b[" + std::to_string(above) + "A\r\x1b[J");
        barLength_ = 0;
    }
    if (!block_ || blockRows_ == 0)
        return;
    // A terminal that re-wraps its lines to the new width (most do) has made
    // each line of the block as many rows as it now needs: the block taken off
    // is that many rows high, and it is drawn again whole, at the new width.
    if (columns > 0) {
        int rows = 0;
        for (const int length : drawnLengths_)
            rows += std::max(1, (length + columns - 1) / columns);
        blockRows_ = rows;
    }
    out_.Write(Redrawn());
}

void TConsolePrinter::Redraw(bool now)
{
    if (!block_)
        return;
    // Progress comes with every block: a few redraws a second are enough to see.
    if (!now && std::chrono::steady_clock::now() - drawn_ < std::chrono::milliseconds(100))
        return;
    // Taken off and drawn again in one piece, so that a redraw that has not
    // reached the terminal yet can give way to a newer one whole.
    const std::string redraw = Redrawn();
    if (now)
        out_.Write(redraw);
    else
        out_.WriteProgress("block", redraw);
}

void TConsolePrinter::Line(TStream to, const QString& text)
{
    EndBar();
    // A message goes above the block: the block is taken off, the message
    // written, and the block drawn under it. Standard error shares the
    // terminal, so its messages are placed the same way; the output keeps the
    // two streams' pieces in order.
    const std::string line = (text.toLocal8Bit() + '\n').toStdString();
    if (to == TStream::Out) {
        out_.Write(block_ ? Redrawn(line) : line);
        return;
    }
    if (block_)
        out_.Write(EraseBlock());
    out_.WriteError(line);
    if (block_)
        out_.Write(DrawBlock());
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

void TConsolePrinter::WaitingForUnit(const TFlashPort& port)
{
    TPortState& state = State(port);
    state.lastStatus = QStringLiteral("waiting for a unit label");
    state.lastTenth = -1;
    state.programming = false;
    // Even with --quiet: the operator must know the scanner is wanted.
    if (block_)
        Redraw(true);
    else
        Line(TStream::Out, port.Name + QStringLiteral(": ") + state.lastStatus);
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
        const QString bar = FitLine(port.Name + QStringLiteral(": ") + ProgressBar(progress, 30), columns_);
        // \r and erase to the end: the new bar may be shorter than the last.
        out_.WriteProgress(port.Name.toStdString(), ("\r" + bar.toLocal8Bit() + "\x1b[K").toStdString());
        barShown_ = true;
        barLength_ = int(bar.size());
        return;
    }
    const int tenth = progress.Total ? int(progress.Examined * 10 / progress.Total) : 10;
    if (tenth == state.lastTenth)
        return;
    state.lastTenth = tenth;
    const QString line = QStringLiteral("%1: %2% (%3/%4)\n")
                             .arg(port.Name)
                             .arg(tenth * 10)
                             .arg(progress.Examined)
                             .arg(Counted(progress.Total, "block"));
    out_.WriteProgress(port.Name.toStdString(), line.toLocal8Bit().toStdString());
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
    out_.Write(EraseBlock());
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
