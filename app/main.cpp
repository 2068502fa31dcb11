#include "gangview.h"
#include "inifile.h"
#include "loader.h"
#include "messages.h"
#include "programfolder.h"
#include "quitonsignal.h"

#include <QApplication>
#include <QFile>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <exception>
#include <functional>
#include <memory>
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

    // One view at a time: each holds the ports it programs, so the other opens
    // only once they are let go.
    const std::string iniPath = QFile::encodeName(folder.path + QStringLiteral("/Loader.ini")).toStdString();
    const auto remember = [&](const char* view) {
        try {
            TIniFile(iniPath).WriteString("Auto Mode", "View", view);
        } catch (const std::exception& error) {
            std::fprintf(stderr, "qr740-programmer: the view is not remembered: %s\n", error.what());
        }
    };
    bool gang = options.gang || TIniFile(iniPath).ReadString("Auto Mode", "View", "single") == "gang";
    std::unique_ptr<QWidget> view;
    std::function<void()> open;
    const auto switchView = [&] {
        // After the handler that asked has returned: the view is deleted here.
        QTimer::singleShot(0, &app, [&] {
            // Closing the only window would otherwise end the program.
            QApplication::setQuitOnLastWindowClosed(false);
            view->close();
            view.reset();
            gang = !gang;
            open();
            QApplication::setQuitOnLastWindowClosed(true);
        });
    };
    open = [&] {
        remember(gang ? "gang" : "single");
        if (gang)
            view = std::make_unique<TfmGang>(TGangEnvironment{.folder = folder.path, .openSingle = switchView});
        else
            view = std::make_unique<TfmLoader>(TLoaderEnvironment{.folder = folder.path, .openGang = switchView});
        view->show();
    };
    open();
    // A signal that came while the window was being built ended only the loop
    // of a message box it showed.
    if (quitOnSignal.Requested())
        return 0;
    const int status = app.exec();
    // After a signal the window is still open: close it as the operator would,
    // so that the port is let go.
    if (view && view->isVisible())
        view->close();
    return status;
}
