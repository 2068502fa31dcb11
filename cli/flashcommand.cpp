#include "flashcommand.h"

#include "consoleprinter.h"
#include "flashcommandline.h"
#include "flashoutput.h"
#include "flashrun.h"
#include "flashsettings.h"
#include "journalhistory.h"
#include "portmap.h"
#include "jsonprinter.h"
#include "programfolder.h"
#include "quitonsignal.h"
#include "sessionfiles.h"
#include "terminalsize.h"
#include "unitlabels.h"

#include <QCoreApplication>
#include <QDir>
#include <QEvent>
#include <QEventLoop>
#include <QFile>
#include <QStringList>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <functional>
#include <csignal>
#include <filesystem>
#include <memory>
#include <optional>

namespace {

// How long a run that is over waits for its records to reach the server.
constexpr std::chrono::milliseconds kForwardingWait{5000};

// A standard output whose reader has gone ends the program as SIGPIPE would
// have, once its ports are let go and its records written.
constexpr int kExitOutputClosed = 128 + SIGPIPE;

// The records --history and --summary read: those the filters keep, from
// `since` on.
TJournalFilter RecordsWanted(const TFlashOptions& options, std::string since)
{
    TJournalFilter filter;
    filter.Since = std::move(since);
    if (!options.Ports.empty())
        filter.Port = QFile::encodeName(options.Ports.front()).toStdString();
    filter.Outcome = options.Outcome.toStdString();
    filter.Unit = options.Unit.toStdString();
    filter.Identification = options.Identification.toStdString();
    return filter;
}

// --since as given; nullopt (said on standard error) when it is no date.
std::optional<std::string> SinceOption(const TFlashOptions& options, TFlashOutput& output, std::string otherwise)
{
    if (options.Since.isEmpty())
        return otherwise;
    const auto parsed = ParseHistorySince(options.Since.toStdString());
    if (!parsed)
        output.WriteError("qr740-flash: --since needs a date (2026-12-01) or a date and time\n");
    return parsed;
}

// --history and --summary: the records the filters keep, read without writing
// (a journal that is not there, or is none, is said so and left as it is),
// printed as `format` makes them of the span from `since`.
int PrintJournal(const TJournalPlace& place, const TFlashOptions& options, TFlashOutput& output,
                 const std::string& defaultSince,
                 const std::function<std::string(const std::vector<TJournalRecord>&, const std::string&)>& format)
{
    const auto since = SinceOption(options, output, defaultSince);
    if (!since)
        return kExitUsage;
    std::vector<TJournalRecord> records;
    try {
        records = ReadJournal(place.File, RecordsWanted(options, *since));
    } catch (const TJournalError& e) {
        output.WriteError(std::string("qr740-flash: ") + e.what() + "\n");
        return kExitSetUp;
    }
    output.Write(format(records, *since));
    output.Drain();
    return output.Closed() ? kExitOutputClosed : 0;
}

int PrintHistory(const TJournalPlace& place, const TFlashOptions& options, TFlashOutput& output)
{
    const auto kind = *ParseHistoryFormat(options.Format.toStdString());
    return PrintJournal(place, options, output, {},
                        [&](const auto& records, const std::string&) { return FormatHistory(records, kind); });
}

// A shift's counts, from the start of today unless --since says otherwise.
int PrintSummary(const TJournalPlace& place, const TFlashOptions& options, TFlashOutput& output)
{
    const auto kind = *ParseHistoryFormat(options.Format.toStdString());
    return PrintJournal(place, options, output, StartOfLocalDay(std::chrono::system_clock::now()),
                        [&](const auto& records, const std::string& since) {
                            return FormatSummary(SummarizeJournal(records), since, kind);
                        });
}

// The records lost with the program, where a log keeps them: in full, one JSON
// object a line, as --history --format json gives them.
void TellUnrecorded(TFlashOutput& output, const std::vector<TJournalRecord>& lost,
                    const std::filesystem::path& journal)
{
    output.WriteError("qr740-flash: " + std::to_string(lost.size()) + " controller record" +
                      (lost.size() == 1 ? "" : "s") + " could not be written to the journal " + journal.string() +
                      "; in full:\n");
    output.WriteError(FormatHistoryJson(lost));
}

} // namespace

int RunFlashCommand(const std::vector<std::string>& arguments, const TFlashIo& io)
{
    // Made first and gone last: whatever is handed to it is written before
    // the function returns.
    TFlashOutput output(io.out, io.err);
    const auto complain = [&](const QString& text) {
        output.WriteError((QStringLiteral("qr740-flash: ") + text + QLatin1Char('\n')).toLocal8Bit().toStdString());
    };
    const auto print = [&](const QString& text) {
        output.Write(text.toLocal8Bit().toStdString());
        output.Drain();
        return output.Closed() ? kExitOutputClosed : 0;
    };

    const TFlashOptions options = ParseFlashOptions(arguments);
    switch (options.Action) {
    case TFlashAction::Help:
        return print(FlashUsage());
    case TFlashAction::Version:
        return print(FlashVersionLine() + QLatin1Char('\n'));
    case TFlashAction::Error:
        complain(options.Error + QStringLiteral("\nTry 'qr740-flash --help'."));
        return kExitUsage;
    case TFlashAction::Run:
    case TFlashAction::History:
    case TFlashAction::Summary:
    case TFlashAction::ListPorts:
        break;
    }

    const TFolderContext context = CurrentFolderContext();
    const TProgramFolder folder = ResolveProgramFolder(options.Folder, context);
    const auto journalPlace = [&](const TIniFile& ini) {
        const QString file = options.Journal.isEmpty() ? QString() : QDir(context.currentFolder).absoluteFilePath(options.Journal);
        return ResolveJournalPlace(folder.path, ini, file, options.JournalServer);
    };
    const TIniFile ini(QFile::encodeName(QDir(folder.path).filePath(QStringLiteral("Loader.ini"))).toStdString());
    if (options.Action == TFlashAction::ListPorts) {
        try {
            return print(QString::fromStdString(FormatPortList(SurveyPorts(ini))));
        } catch (const std::exception& e) {
            complain(QString::fromLocal8Bit(e.what()));
            return kExitSetUp;
        }
    }
    if (options.Action == TFlashAction::History)
        return PrintHistory(journalPlace(ini), options, output);
    if (options.Action == TFlashAction::Summary)
        return PrintSummary(journalPlace(ini), options, output);

    TFlashSetup setup = PrepareFlash(options, folder.path, context.currentFolder);
    if (setup.Status != TFlashSetup::Ready) {
        complain(setup.Error);
        return setup.Status == TFlashSetup::UsageError ? kExitUsage : kExitSetUp;
    }
    if (JournalServerHasPassword(options.JournalServer.toStdString()))
        complain(QStringLiteral("warning: the password in --journal-server can be read by every user of this PC "
                                "while the program runs; put it in ~/.pgpass, or in the file PGPASSFILE names"));

    std::unique_ptr<TFlashReport> report;
    std::unique_ptr<TTerminalSize> terminalSize;
    if (options.Json) {
        report = std::make_unique<TJsonPrinter>(output);
    } else {
        auto console =
            std::make_unique<TConsolePrinter>(output, io.terminal, options.Quiet, setup.Settings.Ports.size());
        if (io.terminal) {
            terminalSize = std::make_unique<TTerminalSize>(::fileno(io.out));
            console->SetColumns(terminalSize->Columns());
            terminalSize->OnResized = [printer = console.get()](int columns) { printer->SetColumns(columns); };
        }
        report = std::move(console);
    }

    // No controller is programmed without its record, unless that was asked for.
    std::unique_ptr<TSessionJournal> journal;
    if (!options.NoJournal) {
        try {
            journal = std::make_unique<TSessionJournal>(journalPlace(*setup.Settings.Ini),
                                                        io.journalTiming ? *io.journalTiming : TSessionJournalTiming{});
        } catch (const TJournalError& e) {
            complain(QString::fromStdString(e.what()) + QStringLiteral(" (--no-journal runs without one)"));
            return kExitSetUp;
        }
        journal->OnWriteFailed = [&](const QString& error) { report->JournalWrite(error, journal->File()); };
        journal->OnWriteRecovered = [&] { report->JournalWrite({}, journal->File()); };
        journal->OnForwardingChanged = [&](const TJournalForwarderStatus& status) {
            report->Forwarding({journal->ServerName(), journal->File(), status});
        };
    }

    if (const auto& series = setup.Settings.UnitSeries) {
        // Said now, not by the first controller after its loader has gone in.
        try {
            if (journal->UnitsLeft(*series) == 0) {
                complain(QStringLiteral("the serial number series %1 (%2 to %3) of [Serial Numbers] is used up in "
                                        "the journal %4")
                             .arg(QString::fromStdString(series->Format))
                             .arg(series->First)
                             .arg(series->Last)
                             .arg(QString::fromStdString(journal->File().string())));
                return kExitSetUp;
            }
        } catch (const TJournalError& e) {
            complain(QString::fromStdString(e.what()));
            return kExitSetUp;
        }
    }
    std::unique_ptr<TUnitLabels> labels;
    if (!options.Unit.isEmpty()) {
        labels = std::make_unique<TUnitLabels>(std::vector<QString>{options.Unit});
    } else if (!options.Units.isEmpty()) {
        int fd = -1;
        QString source = options.Units;
        if (options.Units == QLatin1String("-")) {
            fd = ::fcntl(io.in, F_DUPFD_CLOEXEC, 0);
            source = QStringLiteral("standard input");
        } else {
            source = QDir(context.currentFolder).absoluteFilePath(options.Units);
            // Without waiting for a writer, should it be a fifo; the reader
            // waits for one on its own thread.
            fd = ::open(QFile::encodeName(source).constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        }
        if (fd < 0) {
            complain(QStringLiteral("Unable to read %1: %2").arg(source, SystemText(errno)));
            return kExitSetUp;
        }
        labels = std::make_unique<TUnitLabels>(fd);
        labels->OnReadFailed = [&complain, source](const QString& error) {
            complain(QStringLiteral("the unit labels end here: %1 could not be read: %2").arg(source, error));
        };
    }

    TFlashRun run(setup.Settings, options.Count, options.WaitSeconds, *report, journal.get());
    if (labels)
        run.SetUnitLabels(labels.get());
    if (io.timing) {
        for (const auto& port : run.Ports())
            port->SetTiming(*io.timing);
    }
    QEventLoop loop;
    int status = kExitProgrammed;
    bool done = false;
    bool outputClosed = false;
    run.OnDone = [&](int result) {
        status = result;
        done = true;
        loop.exit();
    };
    output.OnClosed = [&] {
        outputClosed = true;
        loop.exit();
    };
    if (const QString error = run.Start(); !error.isEmpty()) {
        complain(error);
        return kExitSetUp;
    }
    const auto signalled = [&] { return io.quit && io.quit->Requested(); };
    // A signal ends every event loop; one that came while the ports were being
    // opened found none to end yet.
    if (!done && !signalled() && !outputClosed)
        loop.exec();
    if (!done && outputClosed)
        status = run.Stop(SIGPIPE, QStringLiteral("Interrupted: standard output was closed (SIGPIPE)"));
    else if (!done && signalled())
        status = run.Stop(io.quit->Signal());
    if (labels) {
        // A label scanned and not used is a unit the operator believes
        // programmed, or one whose label went onto the wrong unit.
        const std::vector<QString> left = labels->Left();
        if (!left.empty()) {
            constexpr std::size_t kNamed = 10;
            QStringList named;
            for (std::size_t i = 0; i < std::min(left.size(), kNamed); ++i)
                named << left[i];
            if (left.size() > kNamed)
                named << QStringLiteral("...");
            complain((left.size() == 1 ? QStringLiteral("1 unit label was not used: %2")
                                       : QStringLiteral("%1 unit labels were not used: %2"))
                         .arg(left.size())
                         .arg(named.join(QStringLiteral(", "))));
        }
    }

    if (journal) {
        // Every controller's record on the disk before the program ends, or
        // said lost: its summary line and event say so, it is printed whole on
        // standard error, and the status tells a script.
        const std::vector<TJournalRecord> lost = journal->Finish();
        if (!lost.empty()) {
            status = kExitUnrecorded;
            TellUnrecorded(output, lost, journal->File());
        }
        // The factory gets the records now when its server answers; what it
        // does not get is said as it is.
        const std::optional<TJournalForwarderStatus> waiting = journal->WaitForForwarding(kForwardingWait);
        QCoreApplication::sendPostedEvents(journal.get(), QEvent::MetaCall);
        if (waiting)
            report->Forwarding({journal->ServerName(), journal->File(), *waiting}, true);
    }
    report->Done(run.Summaries(), status);
    return status;
}
