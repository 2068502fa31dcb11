#include "viewswitch.h"
#include "messages.h"
#include "programfolder.h"
#include "quitonsignal.h"

#include <QApplication>

#include <csignal>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    // A file-size limit would otherwise kill the program in the middle of a
    // settings write; ignored, the write fails with EFBIG or comes up short, and
    // the operator is told the settings could not be saved, with the file whole.
    std::signal(SIGXFSZ, SIG_IGN);

    // Answered before QApplication exists, so that they need no display.
    const TProgramOptions options = ParseProgramOptions(std::vector<std::string>(argv, argv + argc));
    switch (options.action) {
    case TProgramAction::Help:
        std::fputs(ProgramUsage().toLocal8Bit().constData(), stdout);
        return 0;
    case TProgramAction::Version:
        std::puts(ProgramVersionLine().toLocal8Bit().constData());
        return 0;
    case TProgramAction::Error:
        std::fprintf(stderr, "qr740-programmer: %s\nTry 'qr740-programmer --help'.\n",
                     options.error.toLocal8Bit().constData());
        return 2;
    case TProgramAction::Run:
        break;
    }

    std::vector<std::string> qtArguments = options.qtArguments;
    std::vector<char*> qtArgv;
    for (std::string& argument : qtArguments)
        qtArgv.push_back(argument.data());
    qtArgv.push_back(nullptr);
    int qtArgc = int(qtArguments.size());
    QApplication app(qtArgc, qtArgv.data());
    QGuiApplication::setDesktopFileName(QStringLiteral("qr740-programmer"));
    InstallApplicationExceptionReport();
    TQuitOnSignal quitOnSignal;

    const TProgramFolder folder = ResolveProgramFolder(options.folder, CurrentFolderContext());
    try {
        PrepareProgramFolder(folder.path);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "qr740-programmer: %s\n", error.what());
        ShowErrorBox(nullptr, QString::fromLocal8Bit(error.what()));
        return 1;
    }

    TViewSwitch views(TLoaderEnvironment{.folder = folder.path}, TGangEnvironment{.folder = folder.path},
                      options.gang);
    views.Open();
    // A signal that came while the window was being built ended only the loop
    // of a message box it showed.
    if (quitOnSignal.Requested())
        return 0;
    const int status = app.exec();
    // After a signal the window is still open: close it as the operator would,
    // so that the port is let go.
    if (QWidget* view = views.View(); view && view->isVisible())
        view->close();
    return status;
}
