#include "flashcommand.h"

#include "consoleprinter.h"
#include "flashoptions.h"
#include "flashrun.h"
#include "flashsettings.h"
#include "jsonprinter.h"
#include "programfolder.h"
#include "quitonsignal.h"

#include <QEventLoop>

#include <memory>

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
        break;
    }

    const TFolderContext context = CurrentFolderContext();
    const TProgramFolder folder = ResolveProgramFolder(options.Folder, context);
    TFlashSetup setup = PrepareFlash(options, folder.path, context.currentFolder);
    if (setup.Status != TFlashSetup::Ready) {
        complain(setup.Error);
        return setup.Status == TFlashSetup::UsageError ? kExitUsage : kExitSetUp;
    }

    std::unique_ptr<TFlashReport> report;
    if (options.Json)
        report = std::make_unique<TJsonPrinter>(io.out, io.err);
    else
        report = std::make_unique<TConsolePrinter>(io.out, io.err, io.terminal, options.Quiet,
                                                   setup.Settings.Ports.size());

    TFlashRun run(setup.Settings, options.Count, options.WaitSeconds, *report);
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
        return run.Stop(io.quit->Signal());
    return status;
}
