#include "viewswitch.h"

#include "inifile.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTimer>

#include <cstdio>
#include <filesystem>
#include <string>
#include <exception>

TViewSwitch::TViewSwitch(TLoaderEnvironment single, TGangEnvironment gang, bool gangAsked)
    : single_(std::move(single)), gangEnvironment_(std::move(gang)),
      iniPath_(QFile::encodeName(QDir(single_.folder).filePath(QStringLiteral("Loader.ini"))).toStdString())
{
    gang_ = gangAsked || TIniFile(iniPath_).ReadString("Auto Mode", "View", "single") == "gang";
    single_.openGang = [this] { Switch(); };
    gangEnvironment_.openSingle = [this] { Switch(); };
}

void TViewSwitch::Open()
{
    OpenNow();
}

void TViewSwitch::Switch()
{
    // The view that asked is still in its handler: it is deleted afterwards.
    QTimer::singleShot(0, qApp, [this] {
        // Closing the only window would otherwise end the program.
        const bool quitOnLast = QApplication::quitOnLastWindowClosed();
        QApplication::setQuitOnLastWindowClosed(false);
        view_->close();
        view_.reset();
        gang_ = !gang_;
        OpenNow();
        QApplication::setQuitOnLastWindowClosed(quitOnLast);
    });
}

void TViewSwitch::OpenNow()
{
    // Written only when it changes, and never into a Loader.ini that is not
    // there yet: the window makes the first one, with its example sections.
    try {
        const std::string view = gang_ ? "gang" : "single";
        if (std::filesystem::exists(iniPath_)) {
            TIniFile ini(iniPath_);
            if (ini.ReadString("Auto Mode", "View", "single") != view)
                ini.WriteString("Auto Mode", "View", view);
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "qr740-programmer: the view open is not remembered: %s\n", error.what());
    }
    if (gang_)
        view_ = std::make_unique<TfmGang>(gangEnvironment_);
    else
        view_ = std::make_unique<TfmLoader>(single_);
    view_->show();
}
