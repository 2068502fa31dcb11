#pragma once

// A desktop session ends its programs with SIGTERM (SIGHUP when their terminal
// goes, SIGINT from Ctrl+C). Left to the default action they die with the port
// still set for exclusive use and its lock held; this turns the signals into an
// ordinary end of the event loop, after which the window closes as on Exit.

#include <QObject>

#include <memory>

class QSocketNotifier;

class TQuitOnSignal : public QObject {
public:
    // Needs the application object; only one may exist at a time.
    TQuitOnSignal();
    ~TQuitOnSignal() override;

    // A signal has come and QCoreApplication::exit has been called. Until the
    // event loop runs, exit has nothing to end: check this before calling exec.
    bool Requested() const { return requested_; }
    // The first signal that came; 0 before any.
    int Signal() const { return signal_; }

private:
    void Drain();

    int readEnd_ = -1;
    std::unique_ptr<QSocketNotifier> notifier_;
    bool requested_ = false;
    int signal_ = 0;
};
