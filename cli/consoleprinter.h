#pragma once

// qr740-flash's account for people. On a terminal, one port's progress is a bar
// redrawn in place, and several ports are a block of status lines, one a port,
// redrawn in place under the messages; otherwise (a pipe, a file) each line
// stands on its own, prefixed with its port, and progress is told at every
// tenth. Errors go to standard error with the window's texts.

#include "flashoutput.h"
#include "flashreport.h"

#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

class TConsolePrinter : public TFlashReport {
public:
    TConsolePrinter(TFlashOutput& out, bool terminal, bool quiet, std::size_t ports);

    void Waiting(const TFlashPort& port) override;
    void Status(const TFlashPort& port, TSessionStatus status, const QString& text) override;
    void WaitingForUnit(const TFlashPort& port) override;
    void Progress(const TFlashPort& port, const TFlashProgress& progress) override;
    void Error(const TFlashPort& port, const QString& text) override;
    void Controller(const TFlashPort& port, const TFlashController& controller) override;
    void ImageChanged(const TFlashPort& port, const QString& before, const QString& now) override;
    void WaitExpired(const TFlashPort& port, double seconds) override;
    void Done(const std::vector<TFlashPortSummary>& ports, int exitStatus) override;
    void JournalWrite(const QString& error, const std::filesystem::path& journal) override;
    void Forwarding(const TForwardingState& state, bool atEnd) override;

    // The terminal's width (0: unknown, lines are not cut). A change redraws
    // the block of status lines whole.
    void SetColumns(int columns);

private:
    enum class TStream { Out, Err };
    struct TPortState {
        QString lastStatus;
        int lastTenth = -1;
        TFlashProgress progress;
        bool programming = false;
        int programmed = 0;
        int failed = 0;
        QString last; // the outcome of its last controller
    };
    TPortState& State(const TFlashPort& port);
    void Line(TStream to, const QString& text);
    // Ends a progress bar left on the terminal's last line.
    void EndBar();
    // The block of status lines: taken off the screen before a message is
    // printed, and drawn again under it. Each gives what to write.
    std::string EraseBlock();
    std::string DrawBlock();
    // The block taken off, `above` written, and the block drawn again.
    std::string Redrawn(const std::string& above = {});
    void Redraw(bool now);

    TFlashOutput& out_;
    const bool bar_;
    const bool block_;
    const bool quiet_;
    bool barShown_ = false;
    int barLength_ = 0; // of the bar last drawn
    int columns_ = 0;
    int blockRows_ = 0;             // the rows the block takes on the screen
    std::vector<int> drawnLengths_; // the length of each of its lines
    std::chrono::steady_clock::time_point drawn_{};
    std::vector<QString> order_; // the ports, in the order they first spoke
    std::map<QString, TPortState> ports_;
};

// One port's line in the block of status lines, whole; FitLine cuts it to the
// terminal.
QString StatusLine(const QString& port, const QString& status, const TFlashProgress* progress, int programmed,
                   int failed, const QString& last);

// Pieces of the account, for tests.
// "1 block", "2 blocks": the noun agrees with its number.
QString Counted(std::uint64_t count, const char* noun);
QString PrintableId(const std::string& id);
QString SummaryLine(const TFlashController& controller);
QString ProgressBar(const TFlashProgress& progress, int width);
// `line` cut so that it fits `columns` without touching the last column; whole
// when columns is 0 (unknown).
QString FitLine(const QString& line, int columns);
