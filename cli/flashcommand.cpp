#include "flashcommand.h"

#include "consoleprinter.h"
#include "flashoptions.h"
#include "flashrun.h"
#include "flashsettings.h"
#include "journalhistory.h"
#include "portmap.h"
#include "jsonprinter.h"
#include "programfolder.h"
#include "quitonsignal.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>

#include <filesystem>
#include <memory>

namespace {

// How long a run that is over waits for its records to reach the server.
constexpr std::chrono::milliseconds kForwardingWait{5000};

int PrintHistory(const TJournalPlace& place, const TFlashOptions& options, const TFlashIo& io)
{
    std::string since;
    if (!options.Since.isEmpty()) {
        const auto parsed = ParseHistorySince(options.Since.toStdString());
        if (!parsed) {
            std::fprintf(io.err, "qr740-flash: --since needs a date (2026-12-01) or a date and time\n");
            return kExitUsage;
        }
        since = *parsed;
    }
    std::vector<TJournalRecord> records;
    // A journal that does not exist yet holds no record; reading it must not
    // make one.
    if (std::filesystem::exists(place.File)) {
        try {
            records = TJournal(place.File).Records(since);
        } catch (const TJournalError& e) {
            std::fprintf(io.err, "qr740-flash: %s\n", e.what());
            return kExitSetUp;
        }
    }
    const std::string text = FormatHistory(records, *ParseHistoryFormat(options.Format.toStdString()));
    std::fwrite(text.data(), 1, text.size(), io.out);
    std::fflush(io.out);
    return 0;
}

} // namespace

int RunFlashCommand(const std::vector<std::string>& arguments, const TFlashIo& io)
{
    const auto complain = [&](const QString& text) {
        std::fprintf(io.err, "qr740-flash: %s\n", text.toLocal8Bit().constData());
        std::fflush(io.err);
    };

    const TFlashOptions options = ParseFlashOptions(arguments);
    switch (options.Action) {
    case TFlashAction::Help:
        std::fputs(FlashUsage().toLocal8Bit().constData(), io.out);
        return 0;
    case TFlashAction::Version:
        std::fprintf(io.out, "%s\n", FlashVersionLine().toLocal8Bit().constData());
        return 0;
    case TFlashAction::Error:
        complain(options.Error + QStringLiteral("\nTry 'qr740-flash --help'."));
        return kExitUsage;
    case TFlashAction::Run:
    case TFlashAction::History:
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
            const std::string text = FormatPortList(SurveyPorts(ini));
            std::fwrite(text.data(), 1, text.size(), io.out);
            std::fflush(io.out);
            return 0;
        } catch (const std::exception& e) {
            complain(QString::fromLocal8Bit(e.what()));
            return kExitSetUp;
        }
    }
    if (options.Action == TFlashAction::History)
        return PrintHistory(journalPlace(ini), options, io);

    TFlashSetup setup = PrepareFlash(options, folder.path, context.currentFolder);
    if (setup.Status != TFlashSetup::Ready) {
        complain(setup.Error);
        return setup.Status == TFlashSetup::UsageError ? kExitUsage : kExitSetUp;
    }
    // No controller is programmed without its record, unless that was asked for.
    std::unique_ptr<TSessionJournal> journal;
    if (!options.NoJournal) {
        try {
            journal = std::make_unique<TSessionJournal>(journalPlace(*setup.Settings.Ini));
        } catch (const TJournalError& e) {
            complain(QString::fromStdString(e.what()) + QStringLiteral(" (--no-journal runs without one)"));
            return kExitSetUp;
        }
    }

    std::unique_ptr<TFlashReport> report;
    if (options.Json)
        report = std::make_unique<TJsonPrinter>(io.out, io.err);
    else
        report = std::make_unique<TConsolePrinter>(io.out, io.err, io.terminal, options.Quiet,
                                                   setup.Settings.Ports.size());

    TFlashRun run(setup.Settings, options.Count, options.WaitSeconds, *report, journal.get());
    if (io.timing) {
        for (const auto& port : run.Ports())
            port->SetTiming(*io.timing);
    }
    QEventLoop loop;
    int status = kExitProgrammed;
    bool done = false;
    run.OnDone = [&](int result) {
        status = result;
        done = true;
        loop.exit();
    };
    if (const QString error = run.Start(); !error.isEmpty()) {
        complain(error);
        return kExitSetUp;
    }
    const auto signalled = [&] { return io.quit && io.quit->Requested(); };
    // A signal ends every event loop; one that came while the ports were being
    // opened found none to end yet.
    if (!done && !signalled())
        loop.exec();
    if (!done && signalled())
        status = run.Stop(io.quit->Signal());
    // The factory gets the records now when its server answers; those it does
    // not get wait in the journal for the next run.
    if (journal && !journal->WaitForForwarding(kForwardingWait))
        complain(QStringLiteral("the journal's records not yet on the server wait for the next run"));
    return status;
}
