#pragma once

// qr740-flash's account for people. On a terminal, one port's progress is a bar
// redrawn in place; otherwise (a pipe, a file, several ports) each line stands
// on its own, prefixed with its port, and progress is told at every tenth.
// Errors go to standard error with the window's texts.

#include "flashreport.h"

#include <cstdio>
#include <map>

class TConsolePrinter : public TFlashReport {
public:
    TConsolePrinter(std::FILE* out, std::FILE* err, bool terminal, bool quiet, std::size_t ports);

    void Waiting(const TFlashPort& port) override;
    void Status(const TFlashPort& port, TSessionStatus status, const QString& text) override;
    void Progress(const TFlashPort& port, const TFlashProgress& progress) override;
    void Error(const TFlashPort& port, const QString& text) override;
    void Controller(const TFlashPort& port, const TFlashController& controller) override;
    void WaitExpired(const TFlashPort& port, double seconds) override;
    void Done(const std::vector<TFlashPortSummary>& ports, int exitStatus) override;

private:
    struct TPortState {
        QString lastStatus;
        int lastTenth = -1;
    };
    void Line(std::FILE* to, const QString& text);
    // Ends a progress bar left on the terminal's last line.
    void EndBar();

    std::FILE* out_;
    std::FILE* err_;
    const bool bar_;
    const bool quiet_;
    bool barShown_ = false;
    std::map<QString, TPortState> ports_;
};

// Pieces of the account, for tests.
QString PrintableId(const std::string& id);
QString SummaryLine(const TFlashController& controller);
QString ProgressBar(const TFlashProgress& progress, int width);
