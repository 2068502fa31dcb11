#pragma once

// Which of the program's two views is open: the single-port window or the gang
// view. One at a time, since each holds the ports it programs; the one open
// last is kept in Loader.ini as [Auto Mode] View=.

#include "gangview.h"
#include "loader.h"

#include <QString>
#include <QWidget>

#include <memory>

class TViewSwitch {
public:
    // `gang`: the gang view whatever Loader.ini says (--gang). Opens nothing yet.
    TViewSwitch(TLoaderEnvironment single, TGangEnvironment gang, bool gangAsked);

    // Opens the view Loader.ini kept, or the gang view when asked, and shows it.
    void Open();
    // Closes the view open and opens the other, once the handler that asked
    // has returned.
    void Switch();

    QWidget* View() const { return view_.get(); }
    bool Gang() const { return gang_; }

private:
    void OpenNow();

    TLoaderEnvironment single_;
    TGangEnvironment gangEnvironment_;
    std::string iniPath_;
    bool gang_ = false;
    std::unique_ptr<QWidget> view_;
};
