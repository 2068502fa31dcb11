#pragma once

// The width of the terminal qr740-flash draws its status block on: read at the
// start and again whenever the terminal says it has changed (SIGWINCH), so that
// every line of the block fits whatever the window is resized to.

#include <QObject>

#include <functional>
#include <memory>

class QSocketNotifier;

class TTerminalSize : public QObject {
public:
    // `fd` is the terminal. Needs the application object; only one may exist
    // at a time.
    explicit TTerminalSize(int fd);
    ~TTerminalSize() override;

    // Columns; 0 when the terminal does not say.
    int Columns() const { return columns_; }
    // Called on the thread that made it, when the width has changed.
    std::function<void(int columns)> OnResized;

private:
    void Drain();

    int fd_;
    int columns_ = 0;
    int readEnd_ = -1;
    std::unique_ptr<QSocketNotifier> notifier_;
};

// The terminal's width now; 0 when `fd` is no terminal or does not say.
int TerminalColumns(int fd);
